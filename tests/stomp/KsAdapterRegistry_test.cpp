// The adapter registry and the explicit, idempotent TCP adapter registration.
#include "stomp/KsAdapterRegistry.hpp"

#include <gtest/gtest.h>

#include "stomp/KsCommAdapterIndy.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks {
namespace {

using test::ErrorOf;

// Leaves the registry as the library's users expect it: the TCP adapter only.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAdapterRegistryForTests(); }
  void TearDown() override {
    ResetAdapterRegistryForTests();
    RegisterTcpAdapter();
  }
};

TEST_F(RegistryTest, EmptyRegistryRefusesToCreate) {
  EXPECT_EQ(AdapterClassCount(), 0);
  EXPECT_EQ(ErrorOf<Exception>([] { CreateDefaultAdapter(); }), "No adapter classes registered");
  EXPECT_EQ(ErrorOf<Exception>([] { CreateAdapter(0); }), "No adapter classes registered");
}

TEST_F(RegistryTest, TcpAdapterRegistersOnceAndIsTheDefault) {
  RegisterTcpAdapter();
  RegisterTcpAdapter();
  EXPECT_EQ(AdapterClassCount(), 1);
  EXPECT_TRUE(IsAdapterClassRegistered("TKsCommAdapterIndy"));
  EXPECT_EQ(ErrorOf<Exception>([] { RegisterAdapterClass("TKsCommAdapterIndy", [] {
              return std::unique_ptr<IStompCommAdapter>(std::make_unique<TKsCommAdapterIndy>());
            }); }),
            "Adapter class TKsCommAdapterIndy is already registered");
  EXPECT_EQ(AdapterClassCount(), 1);

  auto adapter = CreateDefaultAdapter();
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->GetName(), "TKsCommAdapterIndy");
  EXPECT_NE(dynamic_cast<TKsCommAdapterIndy*>(adapter.get()), nullptr);
  // Every call makes a new adapter.
  auto second = CreateAdapter(0);
  EXPECT_NE(second.get(), adapter.get());
  EXPECT_EQ(ErrorOf<Exception>([] { CreateAdapter(1); }), "Adapter class index 1 out of bounds");

  // A later class is appended; the first stays the default.
  RegisterAdapterClass("TOther", [] { return std::unique_ptr<IStompCommAdapter>(); });
  EXPECT_EQ(AdapterClassCount(), 2);
  EXPECT_EQ(CreateAdapter(1), nullptr);
  EXPECT_EQ(CreateDefaultAdapter()->GetName(), "TKsCommAdapterIndy");
}

}  // namespace
}  // namespace ks
