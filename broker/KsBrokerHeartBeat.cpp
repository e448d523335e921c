#include "broker/KsBrokerHeartBeat.hpp"

#include <algorithm>

namespace ks {

void TBrokerHeartBeat::Start(std::int64_t sendEvery, std::int64_t silentLimit, std::int64_t now) {
  sendEvery_ = std::max<std::int64_t>(0, sendEvery);
  silentLimit_ = std::max<std::int64_t>(0, silentLimit);
  lastWrite_ = now;
  lastRead_ = now;
  Enter(sendEvery_ != 0 || silentLimit_ != 0 ? TState::Running : TState::Off);
}

void TBrokerHeartBeat::Stop() {
  if (state_ == TState::Running) Enter(TState::Off);
}

TBrokerHeartBeat::TDue TBrokerHeartBeat::Check(std::int64_t now) {
  if (state_ != TState::Running) return TDue::Nothing;
  if (silentLimit_ != 0 && now - lastRead_ >= silentLimit_) {
    Enter(TState::Lost);
    return TDue::Lost;
  }
  if (sendEvery_ != 0 && now - lastWrite_ >= sendEvery_) return TDue::Beat;
  return TDue::Nothing;
}

std::int64_t TBrokerHeartBeat::NextCheck() const {
  if (state_ != TState::Running) return kNever;
  std::int64_t next = kNever;
  if (sendEvery_ != 0) next = lastWrite_ + sendEvery_;
  if (silentLimit_ != 0) next = std::min(next, lastRead_ + silentLimit_);
  return next;
}

}  // namespace ks
