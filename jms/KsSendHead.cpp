#include "jms/KsSendHead.hpp"

#include "jms/KsJMSClient.hpp"

namespace ks {

TKsSendHead::TKsSendHead(std::string_view destination) {
  TKsJMSClient::MakeUsualHead(plain_, destination, TKsStompVersion::V1_0);
  TKsJMSClient::MakeUsualHead(typed_, destination, TKsStompVersion::V1_1);
}

}  // namespace ks
