#include "quillet/LogSite.h"

#include <gtest/gtest.h>

#include "log/PlenovaLog.h"
#include "tests/support/LogCapture.h"

namespace plenova::log {
namespace {

struct Case {
  const char* pretty;
  const char* expected;
};

class ShortFunctionNameTest : public ::testing::TestWithParam<Case> {};

TEST_P(ShortFunctionNameTest, KeepsClassAndMethod) {
  EXPECT_EQ(quillet::LogSite::ShortFunctionName(GetParam().pretty), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ShortFunctionNameTest,
    ::testing::Values(
        Case{"void plenova::PlenovaImp::SetAuidoParam(AudioParam*)", "PlenovaImp::SetAuidoParam"},
        Case{"plenova::PlenovaImp::PlenovaImp()", "PlenovaImp::PlenovaImp"},
        Case{"plenova::PlenovaImp::~PlenovaImp()", "PlenovaImp::~PlenovaImp"},
        Case{"IPlenova* CreatePlenova(const char*)", "CreatePlenova"},
        Case{"bool plenova::AVSynBuffer::ManageInUseBuffer_A::putdata(int)",
             "ManageInUseBuffer_A::putdata"},
        Case{"std::vector<int> plenova::Foo<std::map<int, int> >::Bar(int) const", "Foo<std::map<int, int> >::Bar"},
        Case{"void {anonymous}::Helper(int)", "{anonymous}::Helper"},
        Case{"bool plenova::Foo::operator()(int)", "Foo::operator()"}));

struct Widget {
  void Run() { PLN_LOG_ERROR("MeetingMessage start %d", 7); }
  void Site() { PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start"); }
};

TEST(PlenovaLogTest, PrefixCarriesModuleLineAndClassMethod) {
  testing::LogCapture capture;
  Widget().Run();
  Widget().Site();
  PLN_RAW_WARNING("_Plenova_ raw=%d", 3);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].starts_with("File:LogSiteTest,Line=000")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("  Function: Widget::Run MeetingMessage start 7")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("  _Plenova_ Function: Widget::Site  Start")) << lines[1];
  EXPECT_EQ(lines[2], "_Plenova_ raw=3");
  EXPECT_EQ(capture.LevelOf("raw=3"), Log::kWarning);
  EXPECT_EQ(capture.LevelOf("start 7"), Log::kError);
}

}  // namespace
}  // namespace plenova::log
