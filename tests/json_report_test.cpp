// The JSON report's strings: which byte sequences are UTF-8, what stands in
// for those that are not, and the exact bytes given back beside them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "report/json_report.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

TEST(JsonReport, EveryPathComesBackByteForByte) {
  const std::string fffd = "\xef\xbf\xbd";
  const struct {
    std::string bytes;
    std::string shown;  // the string a parser reads
    bool valid;
  } cases[] = {
      {"plain/path", "plain/path", true},
      {"euro \xe2\x82\xac, smile \xf0\x9f\x98\x80", "euro \xe2\x82\xac, smile \xf0\x9f\x98\x80",
       true},
      {"quote \" back \\ tab \t feed \n one \x01", "quote \" back \\ tab \t feed \n one \x01",
       true},
      {"overlong \xc0\x80", "overlong " + fffd + fffd, false},
      {"surrogate \xed\xa0\x80", "surrogate " + fffd + fffd + fffd, false},
      {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF " + fffd + fffd + fffd + fffd, false},
      {"cut short \xe2\x82", "cut short " + fffd + fffd, false},
      {"lone \x80 and \xff", "lone " + fffd + " and " + fffd, false},
      {std::string("zero \0 byte", 11), std::string("zero \0 byte", 11), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    test::CapturedConsole captured;
    auto json = std::make_unique<JsonReport>(captured.console());
    json->begin(*std::make_unique<ScanRoots>());
    json->begin_group(Md5Digest{}, 1, true);
    json->file(c.bytes);
    json->finish(1, 0);
    const nlohmann::json document = nlohmann::json::parse(captured.text());
    const nlohmann::json& file = document["groups"][0]["files"][0];
    EXPECT_EQ(file["path"], c.shown);
    EXPECT_EQ(file.contains("path_base64"), !c.valid);
    if (!c.valid) {
      std::string bytes;
      const std::string text = file["path_base64"];
      static const std::string alphabet =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      unsigned bits = 0;
      int count = 0;
      for (char ch : text.substr(0, text.find('='))) {
        bits = bits << 6 | static_cast<unsigned>(alphabet.find(ch));
        if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8) & 0xFF);
      }
      EXPECT_EQ(bytes, c.bytes);
    }
  }
}

}  // namespace
}  // namespace mirvale
