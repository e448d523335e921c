// Send path: CreateTextMessage + Send of a 255-character text message through
// the whole messaging stack into a transport that discards the bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/micro/KsAllocCounter.hpp"
#include "bench/micro/KsBenchAdapter.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"

namespace {

void BM_SendTextMessage(benchmark::State& state) {
  ks::bench::RegisterBenchAdapterFirst();
  auto factory = std::make_shared<ks::TKsJMSConnectionFactory>("", "", "stomp://localhost:61613");
  auto connection = factory->CreateConnection();
  connection->Start();
  auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue("ExampleQueue"));
  const std::string text(255, 'x');
  std::uint64_t allocations = ks::bench::AllocationCount();
  std::uint64_t bytes = ks::bench::BenchWire().bytes;
  for (auto _ : state) {
    auto message = session->CreateTextMessage(text);
    producer->Send(message);
  }
  allocations = ks::bench::AllocationCount() - allocations;
  bytes = ks::bench::BenchWire().bytes - bytes;
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["allocs/msg"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
  connection->Close();
}
BENCHMARK(BM_SendTextMessage);

}  // namespace

BENCHMARK_MAIN();
