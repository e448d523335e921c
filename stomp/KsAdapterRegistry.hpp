// KsAdapterRegistry: the registry of transport adapter classes from which the
// messaging layer creates its adapter.
//
// The registry stores one factory function per adapter class, in
// registration order; the first class registered becomes the default. The TCP
// adapter is registered explicitly by RegisterTcpAdapter()
// (stomp/KsCommAdapterIndy.hpp), the TLS adapter after it by
// RegisterTlsAdapter() (stomp/KsCommAdapterSSL.hpp); both are idempotent and
// nothing relies on static initializers.
//
// Ownership: CreateAdapter and CreateDefaultAdapter hand the new adapter to
// the caller, which owns it.
// Threads: all functions may be called from any thread (the list is guarded
// by a mutex).
// Errors (ks::Exception): "Adapter class %s is already registered",
// "No adapter classes registered", "No default adapter class defined", and
// "Adapter class index %d out of bounds" for CreateAdapter with a bad index.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "stomp/KsCommInterfaces.hpp"

namespace ks {

using TKsAdapterFactory = std::function<std::unique_ptr<IStompCommAdapter>()>;

void RegisterAdapterClass(const std::string& className, TKsAdapterFactory factory);
std::int32_t AdapterClassCount();
std::unique_ptr<IStompCommAdapter> CreateAdapter(std::int32_t index);
std::unique_ptr<IStompCommAdapter> CreateDefaultAdapter();

// A new adapter of the first registered class whose SupportsProtocol
// accepts protocol (the URL's scheme); none when no class does.
std::unique_ptr<IStompCommAdapter> CreateAdapterForProtocol(const std::string& protocol);

// True when a class of that name is registered.
bool IsAdapterClassRegistered(const std::string& className);

// For tests only: empties the list and clears the default, as at program
// start. Call RegisterTcpAdapter() again to restore the TCP adapter.
void ResetAdapterRegistryForTests();

}  // namespace ks
