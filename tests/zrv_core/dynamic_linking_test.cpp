// Library loading through real dlopen of a test-built library.
#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "DynamicLinking.h"
#include "ZrvGeneralException.h"

using zrv_core::FactoryDynamicLinking;

namespace {

using AnswerFn = int (*)();

TEST(DynamicLinking, MissingLibrary) {
  auto library = FactoryDynamicLinking::GetInstance();
  try {
    library->LoadDynamicLibrary("/nonexistent/libnothing.so");
    ADD_FAILURE() << "no exception";
  } catch (const zrv_core::ZrvGeneralException& e) {
    std::string text = e.what();
    EXPECT_EQ(text.rfind("Failed to load the shared library: /nonexistent/libnothing.so, dlerror: ", 0), 0u)
        << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(e.GetErrorCode(), 0);
  }
  // Nothing is held: no symbol of the process is found through the object.
  EXPECT_EQ(library->GetFunctionAddress("malloc", true), nullptr);
  EXPECT_THROW(library->GetFunctionAddress("malloc", false), std::invalid_argument);
}

TEST(DynamicLinking, MandatoryAndOptionalSymbols) {
  auto library = FactoryDynamicLinking::GetInstance();
  ASSERT_EQ(library->LoadDynamicLibrary(TEST_SHARED_LIBRARY), 0);
  auto answer = reinterpret_cast<AnswerFn>(library->GetFunctionAddress("test_library_answer", false));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(library->GetFunctionAddress("no_such_symbol", true), nullptr);
  try {
    library->GetFunctionAddress("no_such_symbol", false);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Failed to get the function addressno_such_symbol");
  }
}

// Freeing twice (and again in the destructor) closes the library once: another object's
// reference keeps it loaded and usable, and the last free unloads it.
TEST(DynamicLinking, DoubleFree) {
  auto keeper = FactoryDynamicLinking::GetInstance();
  ASSERT_EQ(keeper->LoadDynamicLibrary(TEST_SHARED_LIBRARY), 0);
  {
    auto other = FactoryDynamicLinking::GetInstance();
    ASSERT_EQ(other->LoadDynamicLibrary(TEST_SHARED_LIBRARY), 0);
    ASSERT_EQ(other->LoadDynamicLibrary(TEST_SHARED_LIBRARY), 0);
    other->FreeDynamicLibrary();
    EXPECT_NO_THROW(other->FreeDynamicLibrary());
    EXPECT_EQ(other->GetFunctionAddress("test_library_answer", true), nullptr);
  }
  auto answer = reinterpret_cast<AnswerFn>(keeper->GetFunctionAddress("test_library_answer", false));
  EXPECT_EQ(answer(), 42);
  keeper->FreeDynamicLibrary();
  EXPECT_EQ(dlopen(TEST_SHARED_LIBRARY, RTLD_LAZY | RTLD_NOLOAD), nullptr) << "still loaded";
}

}  // namespace
