// The demux's one-pass reader against the reference reader it replaced, on
// the same bytes: hand-picked edge cases of the JSON grammar and of the
// restorers, generated documents of any shape, and damaged copies of them.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "differential.h"
#include "fuzz/fuzz_common.h"

using zarn_test::compare_readers;

namespace {

struct Case {
  const char *name;
  std::string text;
  bool accepted; // by the one-pass reader
};

std::string nested(int depth) {
  // {"frames": plus depth - 1 arrays: depth levels in all.
  return "{\"frames\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

const char *const kObject =
    "\"left\":1.5,\"top\":2,\"width\":-0.0,\"height\":3e2,\"confidence\":0.8999999761581421,"
    "\"obj_label\":\"car\",\"display_text\":\"a\\u0000b\",\"class_id\":4294967301,"
    "\"tracker\":{\"left\":1,\"top\":2,\"width\":3,\"height\":4,\"tracker_confidence\":0.5,"
    "\"object_id\":18446744073709551615},"
    "\"classes\":[{\"classifier_id\":2,\"result_label\":\"red\",\"result_prob\":0.75},"
    "{\"classifier_id\":2,\"result_label\":\"x\",\"result_prob\":1}]";

} // namespace

TEST(ReaderDifferential, EdgeCasesOfTheGrammarAndTheRestorers) {
  const std::string batch = std::string("{\"frames\":[{\"frame_num\":7,\"id\":42,\"objects\":[{") +
                            kObject + "}],\"ts\":{\"received\":1600000000000,\"corrected\":5}," +
                            "\"resolution\":{\"src\":[960,540],\"mux\":[640,360]}}]}";
  const std::vector<Case> cases = {
      {"a batch document", batch, true},
      {"byte order mark", "\xEF\xBB\xBF" + batch, true},
      {"byte order mark cut short", "\xEF\xBB" + batch, false},
      {"byte order mark twice", "\xEF\xBB\xBF\xEF\xBB\xBF" + batch, false},
      {"white space around", " \t\r\n" + batch + "\n\t ", true},
      {"form feed is not white space", "\f" + batch, false},
      {"comment", "/* c */" + batch, false},
      {"line comment after", batch + "// c", false},
      {"trailing bytes", batch + " x", false},
      {"second value", batch + "{}", false},
      {"NUL after the value", batch + std::string(1, '\0'), false},
      {"NUL inside a string", std::string("{\"frames\":[{\"id\":1,\"x\":\"a\0b\"}]}", 29), false},
      {"escaped NUL in a label", "{\"frames\":[{\"objects\":[{\"obj_label\":\"a\\u0000b\"}]}]}", true},
      {"invalid UTF-8 in a string", "{\"frames\":[{\"id\":1,\"x\":\"\xC3\x28\"}]}", false},
      {"overlong UTF-8", "{\"frames\":[{\"id\":1,\"x\":\"\xC0\xAF\"}]}", false},
      {"UTF-8 surrogate", "{\"frames\":[{\"id\":1,\"x\":\"\xED\xA0\x80\"}]}", false},
      {"four-byte UTF-8", "{\"frames\":[{\"id\":1,\"x\":\"\xF0\x9F\x98\x80\"}]}", true},
      {"lone high surrogate", "{\"frames\":[{\"id\":1,\"x\":\"\\ud800\"}]}", false},
      {"lone low surrogate", "{\"frames\":[{\"id\":1,\"x\":\"\\udc00\"}]}", false},
      {"high surrogate and a letter", "{\"frames\":[{\"id\":1,\"x\":\"\\ud800\\u0041\"}]}", false},
      {"surrogate pair", "{\"frames\":[{\"id\":1,\"x\":\"\\ud83d\\ude00\"}]}", true},
      {"64 levels", nested(64), true},
      {"65 levels", nested(65), false},
      {"duplicate names: the last wins",
       "{\"frames\":[{\"id\":1,\"id\":2,\"ts\":{\"received\":1},\"ts\":{\"corrected\":3}}]}", true},
      {"duplicate names: a bad last one wins", "{\"frames\":[{\"id\":1,\"id\":\"2\"}]}", true},
      {"duplicate frames", "{\"frames\":[{\"id\":1}],\"frames\":[{\"id\":2},{\"id\":3}]}", true},
      {"escaped member name", "{\"fr\\u0061mes\":[{\"\\u0069d\":9}]}", true},
      {"name with a NUL", "{\"frames\":[{\"id\\u0000\":9}]}", true},
      {"-0 and -0.0",
       "{\"frames\":[{\"objects\":[{\"left\":-0,\"top\":-0.0,\"obj_label\":\"\","
       "\"display_text\":\"\"}]}]}",
       true},
      {"largest integers", "{\"frames\":[{\"id\":18446744073709551615,\"frame_num\":-9223372036854775808,\"objects\":[]}]}", true},
      {"integer beyond 64 bits", "{\"frames\":[{\"id\":18446744073709551616}]}", false},
      {"negative integer beyond 64 bits", "{\"frames\":[{\"id\":-9223372036854775809}]}", false},
      {"the same as a float", "{\"frames\":[{\"id\":18446744073709551616.0}]}", true},
      {"number overflow", "{\"frames\":[{\"id\":1e400}]}", false},
      {"number underflow", "{\"frames\":[{\"objects\":[{\"left\":1e-400}]}]}", true},
      {"denormal float", "{\"frames\":[{\"objects\":[{\"left\":1e-45,\"top\":4.9e-324}]}]}", true},
      {"many digits",
       "{\"frames\":[{\"objects\":[{\"left\":0.100000000000000005551115123125782702118158340454101"
       "5625000000001,\"top\":123456789012345678901234567890e-20}]}]}",
       true},
      {"leading zero", "{\"frames\":[{\"id\":01}]}", false},
      {"bare point", "{\"frames\":[{\"id\":1.}]}", false},
      {"plus sign", "{\"frames\":[{\"id\":+1}]}", false},
      {"capital exponent", "{\"frames\":[{\"id\":1E2}]}", true},
      {"not an object", "[1,2]", true},
      {"frames not an array", "{\"frames\":{}}", true},
      {"null and odd frame entries", "{\"frames\":[null,1,\"x\",[],{\"objects\":[null,{}]}]}", true},
      {"empty", "", false},
      {"white space only", "  ", false},
      {"unterminated", "{\"frames\":[", false},
      {"unknown escape", "{\"frames\":[{\"x\":\"\\q\"}]}", false},
      {"control character", "{\"frames\":[{\"x\":\"\t\"}]}", false},
      {"DEL is allowed", "{\"frames\":[{\"id\":1,\"x\":\"\x7F\"}]}", true},
      {"true, false, null", "{\"frames\":[{\"id\":true,\"ts\":false,\"resolution\":null}]}", true},
      {"src with one number and a string",
       "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[5],\"mux\":[\"a\",7,8]}}]}", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const zarn_test::Outcome outcome = compare_readers(c.text);
    EXPECT_TRUE(outcome.same) << outcome.report;
    // The verdict itself, checked apart from the reference.
    GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
    static std::unique_ptr<zarn::demux::Reader, void (*)(zarn::demux::Reader *)> reader(
        zarn::demux::reader_new(), zarn::demux::reader_free);
    std::memcpy(zarn::demux::reader_text(*reader, c.text.size()), c.text.data(), c.text.size());
    EXPECT_EQ(zarn::demux::restore_document(*reader, c.text.size(), buffer), c.accepted);
    gst_buffer_unref(buffer);
  }
}

// Documents of the writer's shape and of any shape, as the fuzz targets make
// them, and the same documents with bytes changed, cut or repeated.
TEST(ReaderDifferential, GeneratedAndDamagedDocuments) {
  std::mt19937 random(20261210);
  int compared = 0;
  for (int i = 0; i < 4000; i++) {
    std::vector<std::uint8_t> seed(64 + random() % 512);
    for (auto &b : seed)
      b = static_cast<std::uint8_t>(random());
    std::string text = zarn_fuzz::dump(zarn_fuzz::DocumentGenerator(seed.data(), seed.size()).document());
    for (int damage = 0; damage < 3; damage++) {
      const zarn_test::Outcome outcome = compare_readers(text);
      ASSERT_TRUE(outcome.same) << text << "\n" << outcome.report;
      compared++;
      if (text.empty())
        break;
      const std::size_t at = random() % text.size();
      switch (random() % 4) {
      case 0: text[at] = static_cast<char>(random()); break;
      case 1: text.resize(at); break;
      case 2: text.insert(at, text.substr(at, random() % 16)); break;
      default: text.insert(at, 1, "{}[],:\"\\0e-."[random() % 12]); break;
      }
    }
  }
  // Most documents were compared damaged as well.
  EXPECT_GT(compared, 8000);
}
