#include "platform/DynamicLibrary.h"

#include <gtest/gtest.h>

namespace plenova::platform {
namespace {

TEST(DynamicLibraryTest, FindsLibraryBesideTheModuleByBareName) {
  // The test program and the library are built into one folder; a bare name
  // is searched beside the module that holds the loader.
  DynamicLibrary library;
  ASSERT_TRUE(library.Load("libplenova_test_loadable.so")) << library.Error();
  auto* answer = reinterpret_cast<int (*)()>(library.Symbol("plenova_test_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(library.Symbol("no_such_symbol"), nullptr);
  library.Free();
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.Symbol("plenova_test_answer"), nullptr);
}

TEST(DynamicLibraryTest, MissingLibraryReportsTheLoaderError) {
  DynamicLibrary library;
  EXPECT_FALSE(library.Load("libdoes_not_exist_anywhere.so"));
  EXPECT_FALSE(library.Error().empty());
  EXPECT_FALSE(library.Load(""));
}

}  // namespace
}  // namespace plenova::platform
