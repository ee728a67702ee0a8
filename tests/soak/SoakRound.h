// One round of the soak: a randomly generated installation of both products around the
// eight scripts' targets, with canaries next to every target and faults on the way; the
// wizard driven through it from outside; the checks; and a clean-up that leaves the
// machine as the round found it, so that every round stands on its own and can be
// replayed from its seed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "SoakSupport.h"

namespace HVSoak {

// One entry of the built-in scripts, before expansion.
struct SScriptEntry {
  std::string strScript;   // "MD14"
  std::string strSection;  // "[FILES]"
  std::string strText;
};

// What stays the same for every round.
struct SEnvironment {
  std::string strWizardExe;           // the test build of the wizard, which never restarts anything
  std::string strServiceExe;          // TestService.exe
  std::string strWorkFolder;          // C:\hvsoak: the current folder, the record, decoys
  std::string strKeepFolder;          // where the trace files of failed rounds are kept
  std::vector<SScriptEntry> entries;  // read from the wizard's own resources
  size_t cLines = 0;                  // the script line list's length (the bar's range)
  // The seven system folders behind the path variables, as the wizard works them out.
  std::vector<std::pair<std::string, std::string>> systemVariables;
  SPendingValue oPendingBaseline;  // PendingFileRenameOperations before the first round
};

// Reads the scripts and the folders; false with a reason when that is not possible.
bool LoadEnvironment(SEnvironment& oEnvironment, std::string* pstrError);

// The kinds of target a round counts, in report order.
enum ETargetKind {
  kTargetService,
  kTargetKey64,
  kTargetKey32,
  kTargetValue64,
  kTargetValue32,
  kTargetFolderEntry,
  kTargetFileEntry,
  kTargetTreeFolder,
  kTargetTreeFile,
  kTargetKindCount
};
const char* TargetKindName(int nKind);

struct SOutcome {
  int nPlanted = 0;
  int nGone = 0;
  int nRegistered = 0;
  std::map<std::string, int> left;  // reason -> count
  void Add(const SOutcome& o);
};

// A round's numbers; the soak adds them up over all rounds.
struct STally {
  std::map<std::string, int> faults;  // kind of fault -> times injected
  SOutcome targets[kTargetKindCount];
  int nFileCanaries = 0, nFileCanariesLost = 0;
  int nRegCanaries = 0, nRegCanariesLost = 0;
  int nDrivePaths = 0, nDrivePathsLost = 0;
  size_t cTraceLines = 0;
  int nRefusals = 0;
  int nRegistrations = 0;
  void Add(const STally& o);
};

struct SRoundResult {
  uint64_t ullSeed = 0;
  std::string strSummary;             // one line: install folders, services, user actions
  std::vector<std::string> failures;  // every failed check, described
  STally tally;
  double dSeconds = 0;
};

SRoundResult RunRound(const SEnvironment& oEnvironment, uint64_t ullSeed);

}  // namespace HVSoak
