// The output module: documents that stay valid JSON whatever text the box
// sends, a failure that carries its message, and text mode untouched.
#include <gtest/gtest.h>

#include "out.h"

namespace {

struct OutMode : ::testing::Test {
    void TearDown() override { out_set_json(false, false); }
};

TEST(JsonText, BoxTextIsEscapedIntoValidJson)
{
    // Quotes, backslashes, control characters, a byte that is no UTF-8 and
    // a UTF-8 sequence that is.
    const std::string text = std::string("a\"b\\c\n\t\x01\x7f", 9) + "\xff" + "\xc3\xa9" + "\xc3";
    EXPECT_EQ(json_quote(text), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007f\\u00ff\xc3\xa9\\u00c3\"");
    EXPECT_EQ(json_quote(std::string("x\0y", 3)), "\"x\\u0000y\"");
}

TEST(JsonText, AListHeldWhileOtherFactsAreSetKeepsWhatIsAddedToIt)
{
    jvalue doc = jvalue::object();
    jvalue &entries = doc.set("entries", jvalue::array());
    for (int i = 0; i < 100; ++i)
        doc.set("fact" + std::to_string(i), i);
    entries.push(jvalue::object()).set("vid", 100u);
    EXPECT_EQ(doc.dump().substr(0, 32), "{\"entries\":[{\"vid\":100}],\"fact0\"");
    EXPECT_EQ(jvalue::bytes(reinterpret_cast<const uint8_t *>("\x01\xff"), 2).dump(), "[1,255]");
    jvalue pretty = jvalue::object();
    pretty.set("a", jvalue::array()).push(1);
    pretty.set("b", jvalue::object());
    EXPECT_EQ(pretty.dump(true), "{\n  \"a\": [\n    1\n  ],\n  \"b\": {}\n}");
}

TEST_F(OutMode, AFailedDocumentCarriesTheMessagesOfItsCommand)
{
    out_set_json(true, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    out_begin("sreg");
    out_doc().set("register", 17u);
    out_text("register (011): 3f\n");
    out_err("read register(%03x) failed\n", 17);
    out_fail("and %s\n", "more");
    EXPECT_EQ(out_end(110), 110);
    out_begin("vlan");
    out_end(-1);
    out_begin("ping");
    out_doc().set("turnaround_us", 12u);
    out_end(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"command\":\"sreg\",\"ok\":false,\"message\":\"read register(011) failed\\nand more\",\"register\":17}\n"
              "{\"command\":\"vlan\",\"ok\":false,\"message\":\"vlan failed\"}\n"
              "{\"command\":\"ping\",\"ok\":true,\"turnaround_us\":12}\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read register(011) failed\nand more\n");
}

TEST_F(OutMode, TextModeWritesTheTextAndNoDocument)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    out_begin("sreg");
    out_doc().set("value", 63u);
    out_text("register (%03x): %02x\n", 17, 63);
    out_fail("reading firmware version failed\n");
    out_err("read register(011) failed\n");
    out_end(-1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "register (011): 3f\nreading firmware version failed\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read register(011) failed\n");
}

} // namespace
