#include <chrono>
#include <string>
#include <thread>

#include "helper_roles.h"
#include "ipc_buffer.h"
#include "test_support.h"
#include "text.h"

namespace {

// buffer-append SIZE BLOCKS COUNT: opens "KqBuffer" and appends COUNT records "record <RefNo>".
int AppendRecords(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  kq::TIPCBuffer buffer(std::stoi(args[0]), std::stoi(args[1]));
  const int count = std::stoi(args[2]);
  for (int i = 0; i < count; ++i) {
    std::u16string text = u"record " + kq::Utf8ToUtf16(std::to_string(kqtest::RawHeader(buffer)->RefNo));
    buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
  }
  return 0;
}

// buffer-flood SIZE COUNT PAUSE_EVERY: opens "KqBuffer" (4 blocks) and appends COUNT records with
// the texts FloodText gives their reference numbers, every third one with an odd byte count, pausing
// briefly after every PAUSE_EVERY records (0: never).
int FloodRecords(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  kq::TIPCBuffer buffer(std::stoi(args[0]), kq::KqBufferBlocks);
  const int count = std::stoi(args[1]);
  const int pauseEvery = std::stoi(args[2]);
  for (int i = 0; i < count; ++i) {
    const std::int32_t refNo = kqtest::RawHeader(buffer)->RefNo;
    std::u16string text = kqtest::FloodText(refNo);
    text.push_back(u'\0');
    text.push_back(u'!');  // the byte past the NUL that an odd size takes in
    const std::int32_t bytes = static_cast<std::int32_t>((text.size() - 1) * 2) + (refNo % 3 == 0 ? 1 : 0);
    buffer.Add(text.c_str(), bytes);
    if (pauseEvery > 0 && i % pauseEvery == pauseEvery - 1) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return 0;
}

kqtest::HelperRole appendRole("buffer-append", AppendRecords);
kqtest::HelperRole floodRole("buffer-flood", FloodRecords);

}  // namespace
