// DBC grammar: which texts parse, where a bad one stops and what it expected, what the items hold.
#include "decode/dbc_parse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "common/text.hpp"

namespace orvik::dbc {
namespace {

constexpr const char* kSig = " SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n";

struct GoodCase {
  const char* name;
  std::string text;
};

class GrammarAccepts : public testing::TestWithParam<GoodCase> {};

TEST_P(GrammarAccepts, WholeText) {
  auto parsed = parse_dbc(GetParam().text);
  EXPECT_TRUE(parsed) << parsed.error().debug();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GrammarAccepts,
    testing::Values(
        GoodCase{"empty", ""},
        GoodCase{"only_blank_lines", "\n\n  \t\r\n\n"},
        GoodCase{"byte_order_mark", "\xEF\xBB\xBFVERSION \"\"\n"},
        GoodCase{"version_then_message", "VERSION \"x\"\nBO_ 1 M: 8 X\n"},
        GoodCase{"starts_at_message_no_newline_at_end", std::string("BO_ 1 M: 8 X\n") + kSig + "BO_ 2 N: 0 X"},
        GoodCase{"symbols_indented_then_bit_timing",
                 "NS_ : \n\tNS_DESC_\n\tCM_\n\n\tBA_DEF_\n  SG_MUL_VAL_\n\nBS_:\n"},
        GoodCase{"symbols_on_one_line", "NS_ : CM_ BA_\nBS_:\nBU_: A\n"},
        GoodCase{"indented_statements_after_symbols", "NS_ :\n\tCM_\n BS_:\n BU_: A\n"},
        GoodCase{"empty_symbols_then_comment", "NS_ :\nCM_ \"x\";\n"},
        GoodCase{"bit_timing_with_values", "BS_: 500 : 1, 2\n"},
        GoodCase{"nodes_on_following_lines", "BU_:\n\tA\n\tB\n\tC\nVAL_TABLE_ T 1 \"a\" ;\n"},
        GoodCase{"nodes_empty", "BU_:\nBO_ 1 M: 8 X\n"},
        GoodCase{"indented_message_and_space_before_colon",
                 std::string(" BO_ 1 DSU_CRUISE : 7 DSU\n") + kSig},
        GoodCase{"crlf_and_tabs", "BO_\t1\tM:\t8\tX\r\n\tSG_\tS\t:\t0|8@1+\t(1,0)\t[0|0]\t\"\"\tX\r\n"},
        GoodCase{"mux_forms",
                 "BO_ 1 M: 8 X\n SG_ a M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                 " SG_ b m0 : 8|8@1+ (1,0) [0|0] \"\" X\n SG_ c m12M : 16|8@1+ (1,0) [0|0] \"\" X\n"
                 " SG_ d m0: 24|8@1+ (1,0) [0|0] \"\" X\n SG_ e m : 32|8@1+ (1,0) [0|0] \"\" X\n"},
        GoodCase{"names_starting_with_digits",
                 "BO_ 1275 2017_5: 8 XXX\n SG_ 64_BIT_LE : 0|8@1+ (1,0) [0|0] \"\" XXX\n"},
        GoodCase{"loose_numbers",
                 "BO_ 1 M: 8 X\n SG_ S : 0|8@1+ (1E+002,-0) [.5|+3] \"\" X\n"
                 " SG_ T : 8|8@1+ (1.,2e-3) [-1.5E2|1e2] \"\" X\n"},
        GoodCase{"receivers_separated_by_commas_and_blanks",
                 "BO_ 1 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" A, B,C D\n"},
        GoodCase{"signal_without_receivers", "BO_ 1 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\"\nCM_ \"x\";"},
        GoodCase{"comment_forms",
                 "CM_ \"net\";\nCM_ BU_ A \"node\";\nCM_ BO_ 1 \"msg\";\nCM_ SG_ 1 S \"sig\";\n"
                 "CM_ EV_ E \"env\";\nCM_ 145 \"message without BO_\";\n"},
        GoodCase{"comment_escapes_and_line_breaks", "CM_ \"a \\\"b\\\" \\\\ c\r\nnext line\";\n"},
        GoodCase{"comment_without_semicolon", "CM_ \"Front target\"\nBO_ 1 M: 8 X\n"},
        GoodCase{"value_descriptions_without_semicolon",
                 "VAL_ 1 S 0 \"a\" 1 \"b\"\nVAL_ 1 T 2 \"c\"\n"},
        GoodCase{"value_descriptions_of_env_var", "VAL_ Env 0 \"a\" ;\n"},
        GoodCase{"attribute_definitions",
                 "BA_DEF_ \"a\" STRING ;\nBA_DEF_ BU_ \"b\" INT 0 10;\nBA_DEF_ BO_ \"c\" HEX 0 2047;\n"
                 "BA_DEF_ SG_ \"d\" FLOAT -1E+10 1e10;\nBA_DEF_ EV_ \"e\" ENUM \"x\",\"y\" , \"z\";\n"
                 "BA_DEF_ BO_ \"f\" ENUM ;\nBA_DEF_REL_ BU_SG_REL_ \"g\" INT 0 1;\n"
                 "BA_DEF_DEF_ \"a\" \"\";\nBA_DEF_DEF_REL_ \"g\" 0;\nBA_DEF_SGTYPE_ \"h\" INT 0 1;\n"},
        GoodCase{"attribute_values",
                 "BA_ \"a\" \"net\";\nBA_ \"b\" BU_ A 1;\nBA_ \"c\" BO_ 1 -2.5;\nBA_ \"d\" SG_ 1 S \"x\";\n"
                 "BA_ \"e\" EV_ E 3;\nBA_REL_ \"g\" BU_SG_REL_ A SG_ 1 S 5;\n"
                 "BA_REL_ \"g\" BU_BO_REL_ A 1 5;\nBA_REL_ \"g\" BU_EV_REL_ A E 5;\n"
                 "BA_SGTYPE_ \"h\" SGTYPE_ T 1;\n"},
        GoodCase{"environment_variables",
                 "EV_ E : 0 [0|1] \"u\" 0 1 DUMMY_NODE_VECTOR0 A, B;\nEV_ F: 1 [0|1] \"\" 0 2 DUMMY_NODE_VECTOR1;\n"
                 "ENVVAR_DATA_ E : 4;\nEV_DATA_ F: 2;\n"},
        GoodCase{"signal_types",
                 "SGTYPE_ T : 8@1+ (1,0) [0|1] \"\" 0, Table;\nSGTYPE_ U : 8@0- (1,0) [0|1] \"\" 0;\n"
                 "SGTYPE_VAL_ T 0 \"a\" ;\nSIG_TYPE_REF_ 1 S : T;\n"},
        GoodCase{"groups_value_types_multiplexing",
                 "SIG_GROUP_ 1 G 1 : A B;\nSIG_GROUP_ 1 H 1 :;\nSIG_VALTYPE_ 1 S : 1;\nSIG_VALTYPE_ 1 T 2;\n"
                 "SG_MUL_VAL_ 1 S M 0-0, 2-5,7 - 7;\n"},
        GoodCase{"transmitters", "BO_TX_BU_ 1 : A,B;\nBO_TX_BU_ 2 : A B ;\nBO_TX_BU_ 3 :;\n"},
        GoodCase{"categories_filter_type_value_type",
                 "CAT_DEF_ 1 Name 0;\nCAT_ BO_ 1 1;\nFILTER 0 \"all\" A;\nSIGTYPE_VALTYPE_ T : 1;\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
  const char* name;
  std::string text;
  std::size_t line;
  std::size_t column;
  const char* kind;
  const char* expected;  // the start of the expectation text
};

class GrammarRejects : public testing::TestWithParam<BadCase> {};

TEST_P(GrammarRejects, StopsWhereExpected) {
  const auto& c = GetParam();
  auto parsed = parse_dbc(c.text);
  ASSERT_FALSE(parsed);
  const ParseFailure& f = parsed.error();
  EXPECT_EQ(f.kind, c.kind) << f.debug();
  EXPECT_EQ(f.line, c.line) << f.debug();
  EXPECT_EQ(f.column, c.column) << f.debug();
  EXPECT_EQ(f.expected.rfind(c.expected, 0), 0u) << f.debug();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GrammarRejects,
    testing::Values(
        BadCase{"unknown_keyword", "VERSION \"\"\nIMPORT \"x\";\n", 2, 1, "Syntax", "a DBC keyword"},
        BadCase{"message_name_missing_colon", "BO_ 1 Msg 8 X\n", 1, 11, "Syntax", "':'"},
        BadCase{"message_without_size", "BO_ 1 Msg: X\n", 1, 12, "Syntax", "the message size"},
        BadCase{"identifier_glued_to_a_name", "BO_ 12abc M: 8 X\n", 1, 5, "Syntax",
                "a message identifier"},
        BadCase{"message_without_transmitter", "BO_ 1 Msg: 8\nBO_ 2 N: 8 X\n", 2, 1, "Syntax",
                "the name of the transmitting node"},
        BadCase{"signal_without_message", "VERSION \"\"\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n", 2,
                2, "Syntax", "a BO_ message definition"},
        BadCase{"signal_start_bit_missing", "BO_ 1 M: 8 X\n SG_ A : |8@1+ (1,0) [0|0] \"\" X\n", 2,
                10, "Syntax", "the start bit"},
        BadCase{"byte_order_two", "BO_ 1 M: 8 X\n SG_ A : 0|8@2+ (1,0) [0|0] \"\" X\n", 2, 14,
                "Syntax", "the byte order"},
        BadCase{"value_type_missing", "BO_ 1 M: 8 X\n SG_ A : 0|8@1 (1,0) [0|0] \"\" X\n", 2, 16,
                "Syntax", "the value type"},
        BadCase{"factor_not_a_number", "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (x,0) [0|0] \"\" X\n", 2, 18,
                "Syntax", "the factor"},
        BadCase{"unit_unquoted", "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] km X\n", 2, 29,
                "Syntax", "the unit"},
        BadCase{"indicator_glued_to_garbage", "BO_ 1 M: 8 X\n SG_ A m0x : 0|8@1+ (1,0) [0|0] \"\" X\n",
                2, 8, "Syntax", "':'"},
        BadCase{"unterminated_string_reported_at_opening_quote",
                "CM_ \"never closed;\nBO_ 1 M: 8 X\n", 1, 5, "Syntax", "a closing '\"'"},
        BadCase{"attribute_without_semicolon", "BA_ \"a\" BO_ 1 100\nBA_ \"a\" BO_ 1 2;\n", 2, 1,
                "Syntax", "';'"},
        BadCase{"attribute_type_unknown", "BA_DEF_ BO_ \"a\" DOUBLE 0 1;\n", 1, 17, "Syntax",
                "the attribute type"},
        BadCase{"relation_without_objects", "BA_REL_ \"a\" 5;\n", 1, 13, "Syntax", "a relation"},
        BadCase{"value_descriptions_without_object", "VAL_ \"a\" 1;\n", 1, 6, "Syntax",
                "a message identifier and signal name"},
        BadCase{"value_type_not_a_number", "SIG_VALTYPE_ 1 S : x;\n", 1, 20, "Syntax", "the value type"},
        BadCase{"identifier_above_32_bits", "BO_ 4294967296 M: 8 X\n", 1, 5, "OutOfRange",
                "a message identifier of at most 32 bits"},
        BadCase{"identifier_far_above_64_bits", "BO_ 99999999999999999999999 M: 8 X\n", 1, 5,
                "OutOfRange", "a message identifier"},
        BadCase{"start_bit_above_32_bits",
                "BO_ 1 M: 8 X\n SG_ A : 4294967296|8@1+ (1,0) [0|0] \"\" X\n", 2, 10, "OutOfRange",
                "a start bit"},
        BadCase{"switch_value_above_64_bits",
                "BO_ 1 M: 8 X\n SG_ A m18446744073709551616 : 0|8@1+ (1,0) [0|0] \"\" X\n", 2, 8,
                "OutOfRange", "a switch value"},
        BadCase{"fractional_value_description", "VAL_ 1 S 0.5 \"half\" ;\n", 1, 10, "OutOfRange",
                "a whole-number value"},
        BadCase{"value_description_below_int64", "VAL_ 1 S -9223372036854775809 \"x\" ;\n", 1, 10,
                "OutOfRange", "a whole-number value"},
        BadCase{"column_counts_characters", "CM_ \"\xC2\xB5\xC2\xB5\" x;\n", 1, 10, "Syntax",
                "a DBC keyword"},
        BadCase{"invalid_utf8", "CM_ \"ok\";\nCM_ \"caf\xE9\";\n", 2, 9, "InvalidUtf8",
                "valid UTF-8"},
        BadCase{"nul_byte", std::string("VERSION \"\"\n\0", 12), 2, 1, "Syntax", "a DBC keyword"},
        BadCase{"transmitter_list_unterminated", "BO_TX_BU_ 1 : A,B\nBO_ 1 M: 8 X\n", 2, 1,
                "Syntax", "';'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GrammarDiagnostic, DebugRenderingNamesEverything) {
  auto parsed = parse_dbc("\nBO_ 1 Msg 8 \"X\ty\"\n");
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().debug(),
            "Syntax { line: 2, column: 11, statement: \"BO_\", expected: \"':'\", "
            "found: \"8 \\\"X\\ty\\\"\" }");
  EXPECT_EQ(dbc_parse_error(parsed.error()).message(),
            "DBC parse error: " + parsed.error().debug());

  auto at_end = parse_dbc("BO_ 1 Msg:");
  ASSERT_FALSE(at_end);
  EXPECT_EQ(at_end.error().found, "end of input");
  // A long line is cut to a short piece, on a character boundary.
  auto long_line = parse_dbc("BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ B : x"
                             "\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5"
                             "\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\xC2\xB5\n");
  ASSERT_FALSE(long_line);
  EXPECT_EQ(long_line.error().found.size(), 23u);
}

TEST(GrammarItems, SignalFieldsAndMultiplexing) {
  auto parsed = parse_dbc(
      "BO_ 2147483904 Msg: 300 X\n"
      " SG_ Plain : 7|12@0- (0.5,-1E+002) [0|0] \"\\\"deg\\\"\" X\n"
      " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ Sub m3M : 8|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ Leaf m18446744073709551615: 16|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ Bare m : 24|8@1+ (1,0) [0|0] \"\" X\n");
  ASSERT_TRUE(parsed) << parsed.error().debug();
  ASSERT_EQ(parsed->messages.size(), 1u);
  const ParsedMessage& m = parsed->messages[0];
  EXPECT_EQ(m.id, 2147483904u);
  EXPECT_EQ(m.name, "Msg");
  EXPECT_EQ(m.size, 300u);
  ASSERT_EQ(m.signals.size(), 5u);
  const ParsedSignal& p = m.signals[0];
  EXPECT_EQ(p.name, "Plain");
  EXPECT_EQ(p.start_bit, 7u);
  EXPECT_EQ(p.size, 12u);
  EXPECT_EQ(p.byte_order, ByteOrder::motorola);
  EXPECT_TRUE(p.is_signed);
  EXPECT_EQ(p.factor, 0.5);
  EXPECT_EQ(p.offset, -100.0);
  EXPECT_EQ(p.unit, "\"deg\"");
  EXPECT_EQ(p.mux, MuxIndicator::none);
  EXPECT_EQ(m.signals[1].mux, MuxIndicator::multiplexor);
  EXPECT_EQ(m.signals[1].byte_order, ByteOrder::intel);
  EXPECT_EQ(m.signals[2].mux, MuxIndicator::multiplexed_multiplexor);
  EXPECT_EQ(m.signals[2].switch_value, 3u);
  EXPECT_EQ(m.signals[3].mux, MuxIndicator::multiplexed);
  EXPECT_EQ(m.signals[3].switch_value, 18446744073709551615u);
  EXPECT_EQ(m.signals[4].mux, MuxIndicator::bare);
}

TEST(GrammarItems, AttributesValuesAndValueTypes) {
  auto parsed = parse_dbc(
      "BA_ \"Net\" \"a \\\\ b\";\nBA_ \"Node\" BU_ A 1;\nBA_ \"Msg\" BO_ 7 2.5;\n"
      "BA_ \"Sig\" SG_ 7 S \"long\";\nBA_ \"Env\" EV_ E 1e3;\n"
      "BA_DEF_DEF_ \"Sig\" \"not a value\";\n"
      "VAL_ 7 S -1 \"neg\" 1E+001 \"ten\" +2 \"two\" -0 \"zero\"\n"
      "VAL_ Env 1 \"env var: dropped\";\nVAL_TABLE_ T 1 \"table: dropped\";\n"
      "SIG_VALTYPE_ 7 S : 2;\n");
  ASSERT_TRUE(parsed) << parsed.error().debug();
  const auto& a = parsed->attribute_values;
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[0].object, AttributeObject::network);
  EXPECT_EQ(std::get<std::string>(a[0].value), "a \\ b");
  EXPECT_EQ(a[1].object, AttributeObject::node);
  EXPECT_EQ(a[2].object, AttributeObject::message);
  EXPECT_EQ(std::get<double>(a[2].value), 2.5);
  EXPECT_EQ(a[3].object, AttributeObject::signal);
  EXPECT_EQ(a[3].message_id, 7u);
  EXPECT_EQ(a[3].signal_name, "S");
  EXPECT_EQ(std::get<std::string>(a[3].value), "long");
  EXPECT_EQ(a[4].object, AttributeObject::env_var);
  EXPECT_EQ(std::get<double>(a[4].value), 1000.0);

  ASSERT_EQ(parsed->value_descriptions.size(), 1u);
  const auto& vd = parsed->value_descriptions[0];
  EXPECT_EQ(vd.message_id, 7u);
  EXPECT_EQ(vd.signal_name, "S");
  using Pairs = std::vector<std::pair<std::uint64_t, std::string>>;
  EXPECT_EQ(vd.values, (Pairs{{18446744073709551615u, "neg"}, {10, "ten"}, {2, "two"}, {0, "zero"}}));

  ASSERT_EQ(parsed->value_types.size(), 1u);
  EXPECT_EQ(parsed->value_types[0].value, 2u);
  EXPECT_EQ(parsed->value_types[0].signal_name, "S");
}

TEST(GrammarItems, NumbersBeyondTheDoubleRangeSaturate) {
  auto parsed = parse_dbc(
      "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1e400,-1e400) [0|0] \"\" X\n"
      " SG_ B : 0|8@1+ (1e-400,0.000001e-330) [0|0] \"\" X\n"
      " SG_ C : 0|8@1+ (100000000000000000000e-350,1000e306) [0|0] \"\" X\n");
  ASSERT_TRUE(parsed) << parsed.error().debug();
  const auto& s = parsed->messages[0].signals;
  EXPECT_EQ(s[0].factor, std::numeric_limits<double>::infinity());
  EXPECT_EQ(s[0].offset, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(s[1].factor, 0.0);
  EXPECT_EQ(s[1].offset, 0.0);
  EXPECT_EQ(s[2].factor, 0.0);
  EXPECT_EQ(s[2].offset, std::numeric_limits<double>::infinity());
}

TEST(Utf8, AcceptsWellFormedAndFindsTheFirstBadByte) {
  EXPECT_FALSE(utf8_error("plain \xC2\xB5 \xE2\x80\x94 \xF0\x9F\x98\x80 \xEF\xBF\xBD"));
  EXPECT_EQ(utf8_error("ab\xC0\xAF").value().offset, 2u);       // overlong
  EXPECT_EQ(utf8_error("a\xED\xA0\x80").value().offset, 1u);     // surrogate
  EXPECT_EQ(utf8_error("\xF4\x90\x80\x80").value().offset, 0u);  // above U+10FFFF
  EXPECT_EQ(utf8_error("abc\xE2\x80").value().offset, 3u);       // cut short
  EXPECT_EQ(utf8_error("x\x80").value().offset, 1u);             // stray continuation
}

}  // namespace
}  // namespace orvik::dbc
