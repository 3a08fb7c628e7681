#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

#include "archive/platform/clock.h"
#include "archive/platform/ui_hooks.h"
#include "scratch.h"

namespace qmx {
namespace {

TEST(Clock, CountersAreMonotonicAndMeasureSleeps) {
  const std::uint32_t t0 = TickCount();
  const std::int64_t p0 = PerformanceCounter();
  std::uint32_t last = t0;
  std::int64_t lastP = p0;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t t = TickCount();
    const std::int64_t p = PerformanceCounter();
    // Going backwards would show as a huge unsigned step.
    EXPECT_LT(static_cast<std::uint32_t>(t - last), 1000u);
    EXPECT_GE(p, lastP);
    last = t;
    lastP = p;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  // Unsigned difference: correct across the 2^32 wrap as well.
  EXPECT_GE(static_cast<std::uint32_t>(TickCount() - t0), 30u);
  EXPECT_GE(PerformanceCounter() - p0, 30'000'000);
}

// Date-time value of a UTC second count in a zone offset by gmtoff seconds.
double Expected(std::time_t t, long gmtoff) {
  return 25569.0 + (t + gmtoff) / 86400.0;
}

TEST(Clock, NowIsLocalTimeAsDaysSince1899) {
  test::TEnvGuard env;
  const double tolerance = 2.0 / 86400;  // two seconds
  for (const char* zone : {"UTC0", "JST-9", "EST5"}) {
    env.Set("TZ", zone);
    ::tzset();
    const std::time_t t = std::time(nullptr);
    struct tm lt;
    ASSERT_NE(::localtime_r(&t, &lt), nullptr);
    EXPECT_NEAR(NowAsDateTime(), Expected(t, lt.tm_gmtoff), tolerance) << zone;
  }
  env.Unset("TZ");
  ::tzset();
}

TEST(MessagePump, InstalledPumpRunsAndCanBeRemoved) {
  ProcessMessages();  // default: nothing happens, nothing breaks
  int calls = 0;
  SetMessagePump([&calls] { ++calls; });
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(calls, 2);

  SetMessagePump(nullptr);
  ProcessMessages();
  EXPECT_EQ(calls, 2);
}

class TMockPrompt : public TUserPrompt {
 public:
  MOCK_METHOD(bool, AskYesNo, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, AskRetryCancel, (const std::string&, const std::string&), (override));
  MOCK_METHOD(void, ShowMessage, (const std::string&, const std::string&), (override));
};

TEST(UserPrompt, DefaultDeclinesAndInstalledPromptIsAsked) {
  EXPECT_FALSE(UserPrompt().AskYesNo("Confirm", "Create?"));
  EXPECT_FALSE(UserPrompt().AskRetryCancel("Disk", "Insert disk"));
  UserPrompt().ShowMessage("Error", "ignored");

  auto mock = std::make_shared<TMockPrompt>();
  EXPECT_CALL(*mock, AskYesNo("Confirm", "Create?\r\r/tmp/x")).WillOnce(testing::Return(true));
  EXPECT_CALL(*mock, AskRetryCancel("Disk", "Insert")).WillOnce(testing::Return(true));
  EXPECT_CALL(*mock, ShowMessage("Error", "boom"));
  SetUserPrompt(mock);
  EXPECT_TRUE(UserPrompt().AskYesNo("Confirm", "Create?\r\r/tmp/x"));
  EXPECT_TRUE(UserPrompt().AskRetryCancel("Disk", "Insert"));
  UserPrompt().ShowMessage("Error", "boom");

  SetUserPrompt(nullptr);
  EXPECT_FALSE(UserPrompt().AskYesNo("Confirm", "Create?"));
}

}  // namespace
}  // namespace qmx
