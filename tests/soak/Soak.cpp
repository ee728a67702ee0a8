// The soak: the whole clean-up, again and again, against randomly generated simulated
// installations with canaries around every target and faults on the way, the wizard
// driven from outside as a user would. Runs under Wine in a throw-away prefix of its
// own (soak_prefix.sh); every round is cleaned up and stands on its own.
//
//   hvsoak ROUNDS SEED WIZARD_EXE SERVICE_EXE [KEEP_FOLDER]
//
// Round i runs with the seed SEED + i, so "hvsoak 1 S ..." replays any round of seed S.
// Prints every round as it ends and a report at the end; the exit status is 1 when any
// canary was lost or any check failed. The trace files of failed rounds are kept in
// KEEP_FOLDER.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SoakRound.h"
#include "SoakSupport.h"

using namespace HVSoak;

namespace {

const char kWorkFolder[] = "C:\\hvsoak";

// Where the rounds and the report go: standard output, or the file named by HV_SOAK_LOG,
// which the on-demand command follows while the soak runs.
FILE* g_pOut = stdout;

void PrintReport(const STally& total, int nRounds, int nFailedRounds, uint64_t ullSeed,
                 double dSeconds, double dSlowest) {
  std::fprintf(g_pOut,
               "\n== soak report: %d rounds from seed %llu, %.0f s (%.1f s per round, slowest "
               "%.1f s)\n",
               nRounds, static_cast<unsigned long long>(ullSeed), dSeconds,
               nRounds ? dSeconds / nRounds : 0.0, dSlowest);

  std::fprintf(g_pOut, "\n%-58s %6s\n", "faults injected", "count");
  int nFaults = 0;
  for (const auto& f : total.faults) {
    std::fprintf(g_pOut, "  %-56s %6d\n", f.first.c_str(), f.second);
    nFaults += f.second;
  }
  std::fprintf(g_pOut, "  %-56s %6d\n", "all", nFaults);

  std::fprintf(g_pOut, "\n%-22s %8s %6s %11s %6s  %s\n", "targets", "planted", "gone", "registered",
               "left", "why left");
  for (int i = 0; i < kTargetKindCount; ++i) {
    const SOutcome& o = total.targets[i];
    int nLeft = 0;
    std::string strWhy;
    for (const auto& l : o.left) {
      nLeft += l.second;
      if (!strWhy.empty()) strWhy += "; ";
      strWhy += std::to_string(l.second) + " " + l.first;
    }
    std::fprintf(g_pOut, "  %-20s %8d %6d %11d %6d  %s\n", TargetKindName(i), o.nPlanted, o.nGone,
                 o.nRegistered, nLeft, strWhy.c_str());
  }
  std::fprintf(g_pOut,
               "  (registered: awaiting deletion at the next start, %d registrations in all)\n",
               total.nRegistrations);

  std::fprintf(g_pOut, "\n%-40s %8s %6s\n", "canaries", "checked", "lost");
  std::fprintf(g_pOut, "  %-38s %8d %6d\n", "files and folders planted", total.nFileCanaries,
               total.nFileCanariesLost);
  std::fprintf(g_pOut, "  %-38s %8d %6d\n", "registry keys and values planted", total.nRegCanaries,
               total.nRegCanariesLost);
  std::fprintf(g_pOut, "  %-38s %8d %6d\n", "every other path of drive C", total.nDrivePaths,
               total.nDrivePathsLost);

  std::fprintf(g_pOut,
               "\ntrace file: %zu lines checked (12 TAB-separated fields, CR LF); %d refusals "
               "of hostile paths traced\n",
               total.cTraceLines, total.nRefusals);
  const int nLost = total.nFileCanariesLost + total.nRegCanariesLost + total.nDrivePathsLost;
  std::fprintf(g_pOut, "result: %d of %d rounds failed, %d canaries lost\n", nFailedRounds, nRounds,
               nLost);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: hvsoak ROUNDS SEED WIZARD_EXE SERVICE_EXE [KEEP_FOLDER]\n");
    return 2;
  }
  char szLog[MAX_PATH] = {};
  DWORD cchLog = ::GetEnvironmentVariableA("HV_SOAK_LOG", szLog, MAX_PATH);
  if (cchLog > 0 && cchLog < MAX_PATH) {
    FILE* pLog = std::fopen(szLog, "ab");
    if (pLog) g_pOut = pLog;
  }
  const int nRounds = std::atoi(argv[1]);
  const uint64_t ullSeed = std::strtoull(argv[2], NULL, 0);
  SEnvironment env;
  env.strWizardExe = argv[3];
  env.strServiceExe = argv[4];
  env.strWorkFolder = kWorkFolder;
  if (argc > 5) env.strKeepFolder = argv[5];

  // The rounds' current folder, which a relative install folder would name; the
  // wizard inherits it.
  RemoveTree(kWorkFolder);
  MakeFolders(std::string(kWorkFolder) + "\\cwd", NULL);
  if (!::SetCurrentDirectoryA((std::string(kWorkFolder) + "\\cwd").c_str())) {
    std::fprintf(g_pOut, "hvsoak: cannot enter %s\\cwd\n", kWorkFolder);
    return 1;
  }
  std::string strError;
  if (!LoadEnvironment(env, &strError)) {
    std::fprintf(g_pOut, "hvsoak: %s\n", strError.c_str());
    return 1;
  }
  std::fprintf(g_pOut, "hvsoak: %d rounds from seed %llu; %zu script entries, %zu lines\n", nRounds,
               static_cast<unsigned long long>(ullSeed), env.entries.size(), env.cLines);
  std::fflush(g_pOut);

  STally total;
  int nFailedRounds = 0;
  double dSeconds = 0, dSlowest = 0;
  for (int i = 0; i < nRounds; ++i) {
    SRoundResult r = RunRound(env, ullSeed + static_cast<uint64_t>(i));
    total.Add(r.tally);
    dSeconds += r.dSeconds;
    if (r.dSeconds > dSlowest) dSlowest = r.dSeconds;
    const bool bPassed = r.failures.empty();
    if (!bPassed) ++nFailedRounds;
    std::fprintf(g_pOut, "round %d/%d  seed %llu  %s  %.1f s  %s\n", i + 1, nRounds,
                 static_cast<unsigned long long>(r.ullSeed), bPassed ? "pass" : "FAIL", r.dSeconds,
                 r.strSummary.c_str());
    for (const std::string& s : r.failures) std::fprintf(g_pOut, "    - %s\n", s.c_str());
    if (!bPassed) {
      std::fprintf(g_pOut, "    replay: scripts/soak 1 %llu\n",
                   static_cast<unsigned long long>(r.ullSeed));
    }
    std::fflush(g_pOut);
  }
  PrintReport(total, nRounds, nFailedRounds, ullSeed, dSeconds, dSlowest);

  char szWindows[MAX_PATH] = {};
  ::GetWindowsDirectoryA(szWindows, MAX_PATH);
  ::SetCurrentDirectoryA(szWindows);
  RemoveTree(kWorkFolder);
  std::fflush(g_pOut);
  return nFailedRounds == 0 ? 0 : 1;
}
