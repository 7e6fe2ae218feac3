#include "error_report.hpp"

#include <gtest/gtest.h>

namespace {

using exchange_schedule_bench::ErrorReport;

TEST(ErrorReport, RendersMessageAndCauses) {
  EXPECT_EQ(ErrorReport("--iterations must be nonzero").render(),
            "Error: --iterations must be nonzero\n");
  EXPECT_EQ(ErrorReport::wrap("open x.json", "No such file or directory (os error 2)").render(),
            "Error: open x.json\n\nCaused by:\n    No such file or directory (os error 2)\n");
  EXPECT_EQ(ErrorReport("outer", {"middle", "inner"}).render(),
            "Error: outer\n\nCaused by:\n    0: middle\n    1: inner\n");
  std::vector<std::string> many(11, "c");
  const std::string rendered = ErrorReport("m", many).render();
  EXPECT_NE(rendered.find("\n   10: c\n"), std::string::npos) << rendered;
}

}  // namespace
