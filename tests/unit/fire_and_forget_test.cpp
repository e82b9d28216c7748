// An exception that escapes a fire-and-forget task, a platform error included, ends the
// process: a task that forgot to catch one would otherwise leave the host waiting in silence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "platform/async.h"
#include "platform/task.h"

namespace {

struct EscapeCase {
  const char* name;
  bool platformError;
  bool afterAWait;  // thrown once a pending operation has resumed it on another thread
};
void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.name;
}

platform::fire_and_forget throwing(EscapeCase c, platform::Async<void> wait) {
  if (c.afterAWait) co_await wait;
  if (c.platformError) throw platform::hresult_error{-2147023673, u"cancelled"};
  throw std::runtime_error("not a platform error");
}

// Starts the task and lets its wait complete; returns only if the exception was swallowed.
void runToTheEnd(EscapeCase c) {
  auto [wait, done] = platform::Async<void>::pending();
  throwing(c, std::move(wait));
  std::thread([done = done] { done.complete(); }).join();
}

class EscapingException : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapingException, EndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        runToTheEnd(GetParam());
        std::_Exit(0);
      },
      "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, EscapingException,
                         testing::Values(EscapeCase{"platformErrorAtOnce", true, false},
                                         EscapeCase{"platformErrorAfterWait", true, true},
                                         EscapeCase{"otherAfterWait", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
