#include "tools/burnwell-tool/OpenFailure.h"

#include <string>

#include "bridge/OpenFailure.h"
#include "common/ExitStatus.h"

namespace burnwell::tool {

int ExplainOpenFailure(std::string_view command, int openResult, std::ostream& err) {
  const bridge::OpenFailure failure = bridge::DescribeOpenFailure(openResult);
  err << "burnwell-tool " << command << ": " << failure.headline << "\n";
  for (const std::string& line : failure.lines) err << "  " << line << "\n";
  switch (failure.kind) {
    case bridge::OpenFailureKind::Busy: return Code(ExitStatus::BridgeBusy);
    case bridge::OpenFailureKind::NoPermission: return Code(ExitStatus::NoPermission);
    case bridge::OpenFailureKind::NoBridge:
    case bridge::OpenFailureKind::NotAnswering: return Code(ExitStatus::NoBridge);
    case bridge::OpenFailureKind::Error: break;
  }
  return Code(ExitStatus::Failed);
}

}  // namespace burnwell::tool
