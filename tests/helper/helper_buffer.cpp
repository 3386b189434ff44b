#include <string>

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

kqtest::HelperRole appendRole("buffer-append", AppendRecords);

}  // namespace
