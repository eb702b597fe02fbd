// plenova-record: records a meeting of synthetic and file-fed participants
// through the engine's public interface, as a meeting client does.

#include <csignal>

#include <atomic>
#include <cstdio>

#include "api/Plenova.h"
#include "tools/plenova-record/Options.h"
#include "tools/plenova-record/Recording.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A progress reader that goes away must not end the recording: the write
  // fails instead.
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plenova::record;
  const ParseResult parsed = ParseOptions(argc, argv);
  if (parsed.options.help) {
    std::printf("%s", HelpText().c_str());
    return 0;
  }
  if (parsed.options.version) {
    std::printf("plenova-record %s\n", PLENOVA_VERSION_STRING);
    return 0;
  }
  if (!parsed.ok) {
    std::fprintf(stderr, "plenova-record: %s\nTry 'plenova-record --help'.\n",
                 parsed.error.c_str());
    return kExitUsage;
  }
  InstallSignalHandlers();
  EngineFactory factory{[](const char* log_dir) { return CreatePlenova(log_dir); },
                        [](IPlenova* engine) { DeletePlenova(engine); }};
  Recording recording(parsed.options, factory, &g_interrupted, stdout, stderr);
  return recording.Run();
}
