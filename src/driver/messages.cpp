// The driver's messages, on the console or in the JSON document.
#include "driver/messages.h"

namespace mirvale {

void Messages::say(const Message& message, std::string_view first, std::string_view second) {
  if (json_ == nullptr) {
    console_.print(message.console, static_cast<int>(first.size()), first.data(),
                   static_cast<int>(second.size()), second.data());
  } else if (message.strings == 0) {
    json_->failure(message.words);
  } else {
    json_->failure(message.words, first, message.strings == 2 ? message.second_field : nullptr,
                   second);
  }
}

}  // namespace mirvale
