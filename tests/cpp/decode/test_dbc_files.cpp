// DBC files: fixtures that must load, files that must fail, read errors, the corpus, huge inputs.
#include "decode/dbc.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "decode/dbc_parse.hpp"

namespace orvik::dbc {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> dbc_files(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".dbc") out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

const fs::path kFixtures = fs::path(ORVIK_SOURCE_DIR) / "tests" / "fixtures";

TEST(DbcFixtures, EveryGoodFixtureLoads) {
  const auto files = dbc_files(kFixtures / "dbc");
  ASSERT_GE(files.size(), 8u);
  for (const auto& path : files) {
    auto db = DecodeDb::from_file(path.string());
    ASSERT_TRUE(db) << path << ": " << db.error().chain();
    EXPECT_GT(db->size(), 0u) << path;
  }
}

// Each file is named after the fault it holds; fuzzer finds land here as well.
TEST(DbcFixtures, EveryBadFixtureFailsWithAParseOrReadError) {
  const auto files = dbc_files(kFixtures / "dbc_bad");
  ASSERT_GE(files.size(), 10u);
  for (const auto& path : files) {
    auto db = DecodeDb::from_file(path.string());
    ASSERT_FALSE(db) << path << " loaded";
    const std::string& message = db.error().message();
    if (path.filename() == "invalid_utf8.dbc") {
      EXPECT_EQ(message, "Failed to read DBC file: " + path.string());
      ASSERT_NE(db.error().cause(), nullptr);
      EXPECT_EQ(db.error().cause()->message(), "stream did not contain valid UTF-8");
      // The Windows-1252 'é' of "caf\xE9": where it is, in bytes and as line and column.
      ASSERT_NE(db.error().cause()->cause(), nullptr);
      EXPECT_EQ(db.error().cause()->cause()->message(),
                "invalid utf-8 sequence of 1 bytes from index 53 (line 2, column 33)");
    } else {
      EXPECT_EQ(message.rfind("DBC parse error: ", 0), 0u) << path << ": " << message;
      EXPECT_NE(message.find("line: "), std::string::npos) << message;
    }
  }
}

TEST(DbcFile, ReadFailuresCarryThePathAndTheOsError) {
  auto missing = DecodeDb::from_file("/nonexistent/dir/x.dbc");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Failed to read DBC file: /nonexistent/dir/x.dbc");
  ASSERT_NE(missing.error().cause(), nullptr);
  EXPECT_EQ(missing.error().cause()->message(), "No such file or directory (os error 2)");

  auto directory = DecodeDb::from_file(kFixtures.string());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message(), "Failed to read DBC file: " + kFixtures.string());
  ASSERT_NE(directory.error().cause(), nullptr);
  EXPECT_EQ(directory.error().cause()->message(), "Is a directory (os error 21)");

  // Not cut at the NUL, which would open "/etc/passwd".
  auto nul = DecodeDb::from_file(std::string("/etc/passwd\0.dbc", 16));
  ASSERT_FALSE(nul);
  ASSERT_NE(nul.error().cause(), nullptr);
  EXPECT_EQ(nul.error().cause()->message(), "file name contained an unexpected NUL byte");
}

TEST(DbcCorpus, EveryFileLoadsAndHoldsTheCensusCounts) {
  const auto files = dbc_files(ORVIK_CORPUS_DIR);
  if (files.empty()) GTEST_SKIP() << "corpus folder absent";
  EXPECT_EQ(files.size(), 64u);
  std::size_t messages = 0, signals = 0;
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto items = parse_dbc(text.str());
    ASSERT_TRUE(items) << path << ": " << items.error().debug();
    messages += items->messages.size();
    for (const auto& m : items->messages) signals += m.signals.size();
    auto db = DecodeDb::from_file(path.string());
    EXPECT_TRUE(db) << path;
  }
  EXPECT_EQ(messages, 4240u);
  EXPECT_EQ(signals, 31437u);
}

// Inputs the fuzzer once broke: each must now load or fail cleanly, under the sanitizers too.
TEST(DbcFuzzRegressions, EveryKeptInputLoadsOrFails) {
  const fs::path dir = fs::path(ORVIK_SOURCE_DIR) / "fuzz" / "regressions" / "fuzz_dbc";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no regressions kept";
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".md") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto db = DecodeDb::from_dbc_str(text.str());
    if (!db) {
      EXPECT_EQ(db.error().message().rfind("DBC parse error: ", 0), 0u) << entry.path();
    }
  }
}

// Big and hostile inputs finish in linear time and never overflow the stack.
TEST(DbcLargeInput, ManyMessagesAndSignals) {
  std::string text = "VERSION \"\"\nBU_: A\n";
  constexpr int kMessages = 20000;
  for (int m = 0; m < kMessages; ++m) {
    text += "BO_ " + std::to_string(0x80000000u + m) + " Msg" + std::to_string(m) + ": 8 A\n";
    for (int s = 0; s < 8; ++s) {
      text += " SG_ S" + std::to_string(s) + " : " + std::to_string(s * 8) +
              "|8@1+ (0.5,0) [0|127.5] \"u\" A\n";
    }
    text += "VAL_ " + std::to_string(0x80000000u + m) + " S0 0 \"off\" 1 \"on\" ;\n";
  }
  auto db = DecodeDb::from_dbc_str(text);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(db->size(), static_cast<std::size_t>(kMessages));
  EXPECT_EQ((*db->find(kMessages - 1, true))->signals.size(), 8u);
}

TEST(DbcLargeInput, HostileShapesFailOrPassQuickly) {
  constexpr std::size_t kBig = 4 << 20;
  struct Shape {
    const char* name;
    std::string text;
    bool loads;
  };
  const Shape shapes[] = {
      {"unterminated_string", "CM_ \"" + std::string(kBig, 'x'), false},
      {"escapes_to_the_end", "CM_ \"" + std::string(kBig, '\\'), false},
      {"endless_node_list", "BU_:" + std::string(kBig / 8, ' ') + [] {
         std::string s;
         for (int i = 0; i < 200000; ++i) s += " N" + std::to_string(i);
         return s;
       }(), true},
      {"huge_digit_run", "BO_ " + std::string(kBig, '9') + " M: 8 X\n", false},
      {"huge_number_mantissa", "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (" + std::string(kBig, '1') +
                                   ",0) [0|0] \"\" X\n", true},
      {"only_whitespace", std::string(kBig, '\n') + std::string(kBig, ' '), true},
      {"blank_lines_in_symbol_list", "NS_ :" + std::string(kBig, '\n') + "\tCM_\n", true},
      {"many_value_pairs", "VAL_ 1 S" + [] {
         std::string s;
         for (int i = 0; i < 300000; ++i) s += " " + std::to_string(i) + " \"v\"";
         return s;
       }() + ";", true},
      {"repeated_keywords_without_arguments", [] {
         std::string s;
         for (int i = 0; i < 300000; ++i) s += "BA_DEF_DEF_ ";
         return s;
       }(), false},
      {"long_identifier", "BO_ 1 " + std::string(kBig, 'a') + ": 8 X\n", true},
  };
  for (const auto& shape : shapes) {
    auto db = DecodeDb::from_dbc_str(shape.text);
    EXPECT_EQ(bool(db), shape.loads) << shape.name << ": " << (db ? "" : db.error().message());
  }
}

}  // namespace
}  // namespace orvik::dbc
