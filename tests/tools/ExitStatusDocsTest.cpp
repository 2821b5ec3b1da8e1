// The exit-status table lives in common/ExitStatus.h; --help prints it from there, and the man
// pages and the README carry copies of its lines. These cases read the copies and fail, listing
// the lines to write, when one differs from the table.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/ExitStatus.h"

namespace burnwell {
namespace {

struct Row {
  int code = 0;
  std::string text;
  std::uint8_t programs = 0;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << row.code << " '" << row.text << "' programs=" << int{row.programs};
}

std::vector<std::string> Lines(const std::string& relativePath) {
  std::ifstream in(std::string(BURNWELL_SOURCE_DIR) + "/" + relativePath);
  EXPECT_TRUE(in) << relativePath;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The rows of the table, for the programs in mask, as a document should list them.
std::vector<Row> Expected(std::uint8_t mask) {
  std::vector<Row> rows;
  for (const ExitStatusEntry& entry : kExitStatuses) {
    if ((entry.programs & mask) == 0) continue;
    rows.push_back({Code(entry.status), std::string(entry.text),
                    static_cast<std::uint8_t>(entry.programs & mask)});
  }
  return rows;
}

// scdoc: in the "# EXIT STATUS" section, "*N*" on a line and the text on the next, after a tab.
std::vector<Row> ManPageRows(const std::string& path, std::uint8_t program) {
  const std::vector<std::string> lines = Lines(path);
  std::vector<Row> rows;
  bool inSection = false;
  const std::regex code(R"(^\*(\d+)\*$)");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with("# ")) inSection = lines[i] == "# EXIT STATUS";
    std::smatch match;
    if (inSection && std::regex_match(lines[i], match, code) && i + 1 < lines.size() &&
        lines[i + 1].starts_with("\t")) {
      rows.push_back({std::stoi(match[1]), lines[i + 1].substr(1), program});
    }
  }
  return rows;
}

// Markdown: the table under "## Exit status", "| N | text | yes or - | yes or - |" for burnwell
// and burnwell-tool.
std::vector<Row> ReadmeRows() {
  const std::vector<std::string> lines = Lines("README.md");
  std::vector<Row> rows;
  bool inSection = false;
  const std::regex row(R"(^\| (\d+) \| (.+) \| (yes|-) \| (yes|-) \|$)");
  for (const std::string& line : lines) {
    if (line.starts_with("## ")) inSection = line == "## Exit status";
    std::smatch match;
    if (inSection && std::regex_match(line, match, row)) {
      const std::uint8_t programs = static_cast<std::uint8_t>(
          (match[3] == "yes" ? kUpdaterOnly : 0) | (match[4] == "yes" ? kToolOnly : 0));
      rows.push_back({std::stoi(match[1]), match[2], programs});
    }
  }
  return rows;
}

std::string Listing(const std::vector<Row>& rows) {
  std::ostringstream out;
  for (const Row& row : rows) out << "  " << row << "\n";
  return out.str();
}

TEST(ExitStatusDocs, ManPagesAndReadmeListTheTableOfTheHeader) {
  struct Document {
    const char* name;
    std::vector<Row> rows;
    std::vector<Row> expected;
  };
  const Document documents[] = {
      {"docs/man/burnwell.1.scd", ManPageRows("docs/man/burnwell.1.scd", kUpdaterOnly),
       Expected(kUpdaterOnly)},
      {"docs/man/burnwell-tool.1.scd", ManPageRows("docs/man/burnwell-tool.1.scd", kToolOnly),
       Expected(kToolOnly)},
      {"README.md", ReadmeRows(), Expected(kBoth)},
  };
  for (const Document& document : documents) {
    EXPECT_EQ(document.rows, document.expected)
        << document.name << " lists\n"
        << Listing(document.rows) << "where common/ExitStatus.h has\n"
        << Listing(document.expected);
  }
}

}  // namespace
}  // namespace burnwell
