// The driver's messages: printed on the console, or, in a run with --json,
// noted among the failures of the JSON document.
#pragma once

#include <string_view>

#include "platform/console.h"
#include "report/json_report.h"

namespace mirvale {

struct Message {
  const char* console;       // the console text, filled with the message's strings
  const char* words;         // what the JSON document calls it
  int strings;               // strings it is filled with: 0, 1 or 2
  const char* second_field;  // the JSON field of the second string
};

inline constexpr Message kCreateFail{"Mirvale: Create Fail For '%.*s'|'%.*s'\n", "Create Fail", 2,
                                     "second_path"};
inline constexpr Message kTreeCreateFail{"Mirvale: Create Fail For '%.*s'\n", "Create Fail", 1,
                                         nullptr};
inline constexpr Message kWriteFail{"Mirvale: Write Fail For '%.*s'\n", "Write Fail", 1, nullptr};
inline constexpr Message kOpenFail{"Mirvale: Open Fail For '%.*s'\n", "Open Fail", 1, nullptr};
inline constexpr Message kMemoryFail{"Mirvale: Memory Fail\n", "Memory Fail", 0, nullptr};
// An entry whose path would pass the scan path: its directory and its name.
inline constexpr Message kLengthFail{"Mirvale: Length Fail For '%.*s'|'%.*s'\n", "Length Fail", 2,
                                     "name"};
// The report's own line, on the console; here for the JSON document.
inline constexpr Message kStackFull{"Stack Full!\n", "Stack Full", 0, nullptr};

class Messages {
 public:
  explicit Messages(platform::Console& console) : console_(console) {}
  Messages(const Messages&) = delete;
  Messages& operator=(const Messages&) = delete;

  // From now on the messages go to json's failures, when it is not null.
  void send_to(JsonReport* json) { json_ = json; }
  void say(const Message& message, std::string_view first = {}, std::string_view second = {});

 private:
  platform::Console& console_;
  JsonReport* json_ = nullptr;
};

}  // namespace mirvale
