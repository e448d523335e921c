// Message and frame conversion: MessageToFrame of a default 255-character
// text message into a reused frame, FrameToMessage of a typical MESSAGE frame
// into a new text message, and the whole receive path: Receive(1000) through
// the messaging stack from a transport that hands out pre-encoded MESSAGE
// frames.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/micro/KsAllocCounter.hpp"
#include "bench/micro/KsBenchAdapter.hpp"
#include "bench/micro/KsBenchFrames.hpp"
#include "jms/KsConsumerID.hpp"
#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "jms/KsJMSMessage.hpp"
#include "stomp/KsStompFrame.hpp"

namespace {

using ks::bench::AllocationCount;

void BM_MessageToFrame(benchmark::State& state) {
  ks::bench::RegisterBenchAdapterFirst();
  ks::TKsJMSClient client;
  auto message = ks::TKsJMSTextMessage::Create(nullptr);
  message->SetText(std::string(255, 'x'));
  ks::TKsStompFrame frame;
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    frame.Clear();
    client.MessageToFrame(*message, frame);
    benchmark::DoNotOptimize(frame.GetBody().data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/item"] =
      static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MessageToFrame);

void BM_FrameToMessage(benchmark::State& state) {
  ks::bench::RegisterBenchAdapterFirst();
  ks::TKsJMSClient client;
  const auto frame = ks::TKsStompFrame::Parse(ks::bench::MessageFrameText());
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    auto message = ks::TKsJMSTextMessage::Create(nullptr);
    client.FrameToMessage(*frame, *message);
    benchmark::DoNotOptimize(message.get());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/item"] =
      static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FrameToMessage);

// Receive(1000) of one message per iteration: the adapter hands out frame
// texts as the TCP transport cuts them; parse, conversion, dispatch to the
// session and the consumer's return are all measured.
void BM_ReceiveTextMessage(benchmark::State& state) {
  ks::bench::RegisterBenchAdapterFirst();
  auto factory = std::make_shared<ks::TKsJMSConnectionFactory>("", "", "stomp://localhost:61613");
  auto connection = factory->CreateConnection();
  connection->Start();
  auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("ExampleQueue"));
  const auto identity = std::dynamic_pointer_cast<ks::IConsumerIdentity>(consumer);
  const std::string subscription = identity ? identity->GetConsumerID().GetID() : ks::bench::kBenchSubscription;
  auto& wire = ks::bench::BenchWire();
  wire.incoming.clear();
  wire.next = 0;
  for (int i = 0; i < 64; ++i) {
    // The frame text as the transport delivers it: no NUL LF after a body
    // read up to NUL.
    std::string text = ks::bench::MessageFrameText(false, i + 1, subscription);
    text.resize(text.size() - 2);
    wire.incoming.push_back(std::move(text));
  }
  const std::uint64_t before = AllocationCount();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    auto message = consumer->Receive(1000);
    if (!message) {
      state.SkipWithError("no message");
      break;
    }
    bytes += 255;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
  state.counters["allocs/msg"] =
      static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
  wire.incoming.clear();
  connection->Close();
}
BENCHMARK(BM_ReceiveTextMessage);

}  // namespace
