// Message pump and user prompts as installed by the application.
#include "archive/platform/ui_hooks.h"

#include <mutex>

namespace qmx {

namespace {

// Answers as a non-interactive run should: never destructive.
class TDefaultPrompt final : public TUserPrompt {
 public:
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  bool AskRetryCancel(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string&) override {}
};

std::mutex gMutex;
std::shared_ptr<const std::function<void()>> gPump;
std::shared_ptr<TUserPrompt> gPrompt;

TUserPrompt& DefaultPrompt() {
  static TDefaultPrompt prompt;
  return prompt;
}

}  // namespace

void ProcessMessages() {
  std::shared_ptr<const std::function<void()>> pump;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    pump = gPump;
  }
  // Called outside the lock: the pump may run handlers that reinstall it.
  if (pump && *pump) (*pump)();
}

void SetMessagePump(std::function<void()> pump) {
  auto p = pump ? std::make_shared<const std::function<void()>>(std::move(pump)) : nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  gPump = std::move(p);
}

TUserPrompt& UserPrompt() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gPrompt ? *gPrompt : DefaultPrompt();
}

void SetUserPrompt(std::shared_ptr<TUserPrompt> prompt) {
  std::lock_guard<std::mutex> lock(gMutex);
  gPrompt = std::move(prompt);
}

}  // namespace qmx
