// KsBrokerSelector: the message selectors Cistern understands.
//
// A selector is one or more comparisons joined by AND (any letter case):
//   name = 'text'   name <> 'text'
//   name = 12       name <> 12   name < 12   name <= 12   name > 12   name >= 12
//   name = TRUE     name <> FALSE
// where name is a header or property of the message (letters, digits, '_',
// '$', '.', '-'); JMSType, JMSCorrelationID, JMSPriority, JMSMessageID,
// JMSTimestamp, JMSExpiration and JMSDeliveryMode read the matching message
// headers. Strings are quoted with ' ('' stands for one quote). A comparison
// with a header the message does not have, or a numeric comparison with a
// value that is not a number, is false. Anything else (OR, NOT, LIKE, IN,
// parentheses, arithmetic, ...) is refused by Parse, so a subscription never
// runs with a selector it does not honour.
//
// Threads: a parsed selector is immutable and may be shared.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ks {

struct TBrokerMessage;

class TBrokerSelector {
 public:
  // Parses text; returns false with error set when it is outside the
  // supported form. Empty or blank text selects every message.
  bool Parse(std::string_view text, std::string& error);

  bool Empty() const { return terms_.empty(); }
  bool Matches(const TBrokerMessage& message) const;

 private:
  enum class TOp { Eq, Ne, Lt, Le, Gt, Ge };
  enum class TKind { Text, Number, Boolean };
  struct TTerm {
    std::string name;
    TOp op;
    TKind kind;
    std::string text;
    double number = 0;
    bool boolean = false;
  };
  // Reads one selector text, one grammar level per member.
  class TParser;

  std::vector<TTerm> terms_;
};

}  // namespace ks
