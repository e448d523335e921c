// Frame-level costs: ToBytes and Parse of a typical MESSAGE and SEND frame,
// GetContentLength of a header block, and the transport's frame cutter over
// a buffer holding many frames. Every benchmark reports allocations per
// item.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "bench/micro/KsAllocCounter.hpp"
#include "bench/micro/KsBenchFrames.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "stomp/KsStompFrame.hpp"

namespace {

using ks::bench::AllocationCount;

void Finish(benchmark::State& state, std::uint64_t allocationsBefore, std::int64_t items, std::int64_t bytes) {
  const std::uint64_t allocations = AllocationCount() - allocationsBefore;
  state.SetItemsProcessed(items);
  state.SetBytesProcessed(bytes);
  state.counters["allocs/item"] = static_cast<double>(allocations) / static_cast<double>(items ? items : 1);
}

void BM_ToBytes(benchmark::State& state, bool message) {
  const std::string text = message ? ks::bench::MessageFrameText() : ks::bench::SendFrameText();
  const auto frame = ks::TKsStompFrame::Parse(text);
  const std::uint64_t before = AllocationCount();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    std::string wire = frame->ToBytes();
    bytes += static_cast<std::int64_t>(wire.size());
    benchmark::DoNotOptimize(wire.data());
  }
  Finish(state, before, state.iterations(), bytes);
}
BENCHMARK_CAPTURE(BM_ToBytes, MESSAGE, true);
BENCHMARK_CAPTURE(BM_ToBytes, SEND, false);

void BM_Parse(benchmark::State& state, bool message) {
  const std::string text = message ? ks::bench::MessageFrameText() : ks::bench::SendFrameText();
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    auto frame = ks::TKsStompFrame::Parse(text);
    benchmark::DoNotOptimize(frame.get());
  }
  Finish(state, before, state.iterations(), state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK_CAPTURE(BM_Parse, MESSAGE, true);
BENCHMARK_CAPTURE(BM_Parse, SEND, false);

void BM_GetContentLength(benchmark::State& state, bool withLength) {
  // The header block as the transport scans it: up to and including LF LF.
  std::string text = ks::bench::MessageFrameText(withLength);
  text.resize(text.find("\n\n") + 2);
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) benchmark::DoNotOptimize(ks::TKsStompFrame::GetContentLength(text));
  Finish(state, before, state.iterations(), state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK_CAPTURE(BM_GetContentLength, absent, false);
BENCHMARK_CAPTURE(BM_GetContentLength, present, true);

// The cutter over a buffer of 1000 MESSAGE frames, each taken into a reused
// frame text string as the transport does.
void BM_FrameCutter(benchmark::State& state, bool withLength) {
  std::string buffer;
  for (int i = 0; i < 1000; ++i) buffer += ks::bench::MessageFrameText(withLength, i);
  ks::TKsFrameCutter cutter;
  std::string frameText;
  std::int64_t frames = 0;
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    std::string_view rest(buffer);
    while (cutter.Advance(rest)) {
      rest.remove_prefix(cutter.Take(rest, frameText));
      ++frames;
    }
    benchmark::DoNotOptimize(frameText.data());
    // Without a length the LF after the last NUL stays for the next read.
    if (rest.size() > 1) state.SkipWithError("the cutter left bytes over");
  }
  Finish(state, before, frames, state.iterations() * static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK_CAPTURE(BM_FrameCutter, no_length, false);
BENCHMARK_CAPTURE(BM_FrameCutter, content_length, true);

}  // namespace
