// The outcome parser over arbitrary payloads, and the encoder and reader around it. Whatever a
// payload holds, parsing reads nothing outside it (the input is copied to a buffer of exactly its
// size, so that ASan sees any read past it), and what it accepts adds up: text, NUL and tail make
// the whole payload. An outcome written by the append path reads back the same through the
// reader, however small the ring and however long the text.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "ipc_buffer.h"
#include "record_outcome.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "record_outcome_fuzz: %s\n", what);
  std::abort();
}

void ParseAnything(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size]);
  if (size != 0) std::memcpy(exact.get(), data, size);
  const auto outcome = kq::ParseOutcome(exact.get(), size);
  if (!outcome) return;
  const std::size_t tail = kq::KqOutcomeFixedBytes + outcome->Message.size() * 2;
  if (outcome->Message.size() > kq::KqOutcomeMessageMax || outcome->SqlState.size() > 5 ||
      (static_cast<std::size_t>(outcome->TextUnits) + 1) * 2 + tail != size)
    Fail("an accepted payload does not add up");
  // Written again behind the same text, it reads back the same.
  kq::TOutcomeTail again;
  again.DurationMicros = outcome->DurationMicros;
  again.Rows = outcome->Rows;
  again.NativeCode = outcome->NativeCode;
  again.Status = outcome->Status;
  std::memcpy(again.SqlState, outcome->SqlState.data(), outcome->SqlState.size() * 2);
  again.Message = outcome->Message.data();
  again.MessageUnits = static_cast<std::uint16_t>(outcome->Message.size());
  std::vector<std::uint8_t> rewritten(exact.get(), exact.get() + (size - tail));
  rewritten.resize(size);
  again.WriteTo(rewritten.data() + (size - tail));
  if (kq::ParseOutcome(rewritten.data(), rewritten.size()) != outcome) Fail("a rewritten tail reads differently");
}

// The first bytes choose the ring, the text's length and the outcome; the rest is the message.
void AppendAndRead(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return;
  static const bool named = [] {
    setenv("KQ_NAMESPACE", ("fuzzoutcome" + std::to_string(getpid())).c_str(), 1);
    return true;
  }();
  (void)named;
  const std::int32_t ringSize = 400 + (data[0] | data[1] << 8) % 8192;
  const std::int32_t textUnits = (data[2] | data[3] << 8) % 5000;
  kq::TOutcomeTail tail;
  tail.DurationMicros = static_cast<std::int8_t>(data[4]) * 1000;
  tail.Rows = static_cast<std::int8_t>(data[5]);
  tail.NativeCode = data[6];
  tail.Status = data[7] & 1;
  std::u16string message((size - 8) / 2, u'\0');
  std::memcpy(message.data(), data + 8, message.size() * 2);
  message.push_back(0);
  tail.Message = message.data();
  tail.MessageUnits = kq::OutcomeMessageUnits(message.data());
  std::u16string text(static_cast<std::size_t>(textUnits), u'q');

  kq::TIPCBuffer buffer(ringSize, 4);
  buffer.Clear(false);
  buffer.AddStatement(text.data(), textUnits, &tail);
  kq::BufferReader reader(buffer);
  std::vector<kq::TraceLineView> views;
  if (reader.ReadNewerViews(0, views) != 1 || views.size() != 1) Fail("the record was not read back");
  const auto got = views[0].Outcome();
  const std::int32_t maxPayload = buffer.BufSize() / 4 / 2 - kq::KqRecordHeadSize;
  if (kq::KqOutcomeFixedBytes + 2 > maxPayload) {
    if (got) Fail("an outcome where none fits");
    return;
  }
  if (!got) Fail("the outcome was lost");
  if (got->DurationMicros != std::max<std::int64_t>(tail.DurationMicros, -1) ||
      got->Rows != std::max<std::int64_t>(tail.Rows, -1) || got->NativeCode != tail.NativeCode ||
      got->Status != tail.Status)
    Fail("the fixed fields changed");
  const std::u16string_view sent(tail.Message, tail.MessageUnits);
  if (sent.substr(0, got->Message.size()) != got->Message) Fail("the message changed");
  if (got->Message.size() < sent.size() && kq::KqOutcomeFixedBytes + 2 + sent.size() * 2 <= std::size_t(maxPayload))
    Fail("a message that fits was shortened");
  if (views[0].Text != std::u16string_view(text).substr(0, static_cast<std::size_t>(got->TextUnits)))
    Fail("the text is not the statement's start");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ParseAnything(data, size);
  AppendAndRead(data, size);
  return 0;
}
