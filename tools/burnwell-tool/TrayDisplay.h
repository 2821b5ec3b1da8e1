// What the operator sees while bridges update: on a terminal one line per bridge (its name with
// serial and USB location, phase, percent) redrawn in place; otherwise one line per event. It
// receives the progress-bar messages of every bridge's own progress window, and gives each bridge
// an observer of its update.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/BridgeUpdate.h"
#include "platform/WindowMessages.h"
#include "tools/burnwell-tool/TrayUpdate.h"

namespace burnwell::tool {

// Whether the stream is a terminal (lines can be redrawn in place).
bool IsTerminal(std::FILE* stream);

class TrayDisplay final : public platform::WindowMessages {
 public:
  // out: where the lines go; redraw: a terminal on which lines are redrawn in place.
  TrayDisplay(std::FILE* out, bool redraw);
  ~TrayDisplay() override;

  // Adds a bridge's line; returns its progress window for the update plan.
  platform::WindowHandle AddBridge(const std::string& name);
  // The observer of that bridge's update (lives as long as the display).
  app::UpdateObserver& Observer(platform::WindowHandle window);
  // The bridge has ended: its line shows the outcome.
  void Finished(platform::WindowHandle window, const BridgeResult& result);

  bool Post(platform::WindowHandle window, std::uint32_t message, platform::WParam wParam,
            platform::LParam lParam) override;
  platform::LResult Send(platform::WindowHandle window, std::uint32_t message,
                         platform::WParam wParam, platform::LParam lParam) override;

 private:
  struct Line;
  class LineObserver;
  void Changed(Line& line, bool event, const std::string& eventText);  // with mutex_ held
  void Redraw();

  std::FILE* out_;
  bool redraw_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Line>> lines_;
  std::map<platform::WindowHandle, Line*> byWindow_;
  bool drawn_ = false;
};

}  // namespace burnwell::tool
