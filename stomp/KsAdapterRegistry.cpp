#include "stomp/KsAdapterRegistry.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "support/KsException.hpp"

namespace ks {

namespace {

struct TKsAdapterClass {
  std::string name;
  TKsAdapterFactory factory;
};

struct TKsAdapterRegistry {
  std::mutex mutex;
  std::vector<TKsAdapterClass> classes;
  std::int32_t defaultIndex = -1;
};

// Created on first use, destroyed at program end.
TKsAdapterRegistry& Registry() {
  static TKsAdapterRegistry registry;
  return registry;
}

}  // namespace

void RegisterAdapterClass(const std::string& className, TKsAdapterFactory factory) {
  TKsAdapterRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const auto& c : r.classes) {
    if (c.name == className) throw Exception("Adapter class " + className + " is already registered");
  }
  r.classes.push_back({className, std::move(factory)});
  if (r.defaultIndex == -1) r.defaultIndex = 0;
}

std::int32_t AdapterClassCount() {
  TKsAdapterRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return static_cast<std::int32_t>(r.classes.size());
}

std::unique_ptr<IStompCommAdapter> CreateAdapter(std::int32_t index) {
  TKsAdapterFactory factory;
  {
    TKsAdapterRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.classes.empty()) throw Exception("No adapter classes registered");
    if (index < 0 || static_cast<std::size_t>(index) >= r.classes.size()) {
      throw Exception("Adapter class index " + std::to_string(index) + " out of bounds");
    }
    factory = r.classes[static_cast<std::size_t>(index)].factory;
  }
  return factory();  // outside the lock: a constructor may use the registry
}

std::unique_ptr<IStompCommAdapter> CreateDefaultAdapter() {
  std::int32_t index;
  {
    TKsAdapterRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.classes.empty()) throw Exception("No adapter classes registered");
    if (r.defaultIndex == -1) throw Exception("No default adapter class defined");
    index = r.defaultIndex;
  }
  return CreateAdapter(index);
}

std::unique_ptr<IStompCommAdapter> CreateAdapterForProtocol(const std::string& protocol) {
  std::vector<TKsAdapterFactory> factories;
  {
    TKsAdapterRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& c : r.classes) factories.push_back(c.factory);
  }
  for (const auto& factory : factories) {
    std::unique_ptr<IStompCommAdapter> adapter = factory();
    if (adapter && adapter->SupportsProtocol(protocol)) return adapter;
  }
  return nullptr;
}

bool IsAdapterClassRegistered(const std::string& className) {
  TKsAdapterRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const auto& c : r.classes) {
    if (c.name == className) return true;
  }
  return false;
}

void ResetAdapterRegistryForTests() {
  TKsAdapterRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.classes.clear();
  r.defaultIndex = -1;
}

}  // namespace ks
