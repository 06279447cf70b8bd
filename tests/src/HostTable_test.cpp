#include "src/HostTable.h"

#include <memory>

#include "src/IPText.h"
#include "tests/common/TestUtil.h"

namespace {

// Quads in, the key as IPFormat writes it out; a refused text leaves the key
// be. Each text is copied exactly sized, no slack after the NUL, so that ASan
// catches any over-read.
TEST(IPParse, QuadsAndWhatEndsThem) {
  // clang-format off
  const char* rows[][2] = {
      {"0.0.0.0", "0.0.0.0"}, {"255.255.255.255", "255.255.255.255"}, {"192.168.001.010", "192.168.1.10"},
      {"1.2.3.4x", "1.2.3.4"}, {"1.2.3.4:80", "1.2.3.4"}, {"10.0.0.1 - - [", "10.0.0.1"}, {"1.2.3.44", "1.2.3.44"},
      {"10.0.0.1/24", "10.0.0.1"}, {"199.200.249.250\n", "199.200.249.250"}};
  const char* refused[] = {"256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.", "1.2.3.4.5", "1.2.3.4.", "1..2.3", " 1.2.3.4",
      "1234.1.1.1", "1.2.3.4567", "1.2.3.0004", "1.2.3.-4", "", ".1.2.3.4", "1,2.3.4", "\xb9.2.3.4", "1", "12", "123",
      "255.2"};
  // clang-format on
  auto exact = [](const char* t) { return std::unique_ptr<char[]>(strcpy(new char[strlen(t) + 1], t)); };
  uint32_t key = 0;
  char out[16];
  for (auto& r : rows) {
    EXPECT_TRUE(IPParse(exact(r[0]).get(), &key) && IPParse(exact(r[0]).get(), nullptr)) << r[0];
    IPFormat(key, out);
    EXPECT_STREQ(out, r[1]) << r[0];
  }
  EXPECT_EQ(key, 199u | 200u << 8 | 249u << 16 | 250u << 24);  // network byte order
  for (const char* t : refused)
    EXPECT_FALSE(IPParse(exact(t).get(), &key) || IPParse(exact(t).get(), nullptr) || key != 0xFAF9C8C7) << t;
}

// Every RFC 4291 spelling in, RFC 5952 text out; the quad of the last 32 bits
// is read as IPParse reads it.
TEST(IP6Parse, SpellingsAndTheirText) {
  // clang-format off
  const char* rows[][2] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"}, {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"}, {"::1", "::1"}, {"1::", "1::"},
      {"0:0:0:0:0:0:0:0", "::"}, {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"}, {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
      {"ABCD:EF01::", "abcd:ef01::"}, {"::FFFF:c633:6407", "::ffff:198.51.100.7"},
      {"::ffff:001.02.3.4", "::ffff:1.2.3.4"}, {"0::ffff:0:192.0.2.1", "::ffff:0:192.0.2.1"},
      {"::192.0.2.1", "::c000:201"}, {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}};
  const char* refused[] = {"", ":", ":1", "1:", "1::2::3", ":::", "1:::2", "12345::", "1:2:3:4:5:6:7",
      "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "1.2.3.4", "::1.2.3", "::1.2.3.4.5",
      "::256.1.1.1", "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4", "::ab.1.2.3", "g::1", " ::1", "::1%eth0"};
  // clang-format on
  IP6Key key;
  char out[IP6_TEXT_SIZE];
  for (auto& r : rows) {
    ASSERT_TRUE(IP6Parse(r[0], r[0] + strlen(r[0]), &key)) << r[0];
    IP6Format(&key, out);
    EXPECT_STREQ(out, r[1]) << r[0];
  }
  for (const char* text : refused) EXPECT_FALSE(IP6Parse(text, text + strlen(text), &key)) << text;
}

}  // namespace
