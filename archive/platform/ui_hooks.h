// The hooks by which library code reaches the application: the message pump
// run during long work, and the questions a component may ask the user. The
// library never writes to a terminal or window itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace qmx {

// Runs pending window messages; a no-op until the application installs one.
void ProcessMessages();
void SetMessagePump(std::function<void()> pump);

class TUserPrompt {
 public:
  virtual ~TUserPrompt() = default;
  // Yes/No confirmation; true for Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
  // Retry/Cancel box; true for Retry.
  virtual bool AskRetryCancel(const std::string& caption, const std::string& text) = 0;
  // Information or error box.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
};

// The default prompt answers without asking: No, Cancel, and drops messages.
TUserPrompt& UserPrompt();
// Installs the application's prompt; nullptr restores the default.
void SetUserPrompt(std::shared_ptr<TUserPrompt> prompt);

}  // namespace qmx
