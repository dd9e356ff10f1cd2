// pelloryctl's command line.
#include <cstring>
#include <string>

#include "pelloryctl/commands.h"
#include "pelloryctl/request_text.h"

namespace {

// Each command's usage; together, pelloryctl's.
struct CommandUsage {
  const char* command;
  const char* text;
};
constexpr CommandUsage kUsages[] = {
    {"schedule", "schedule PROGRAM.efi [--identify] [--allow same|older|any]\n"
                 "                           [--after return|reboot|shutdown] [--esp DIR]\n"},
    {"result", "result [--json]\n"},
    {"inspect", "inspect PROGRAM.efi [--json]\n"},
    {"cancel", "cancel\n"},
    {"clean", "clean [--esp DIR]\n"},
    {"driver", "driver install [DRIVER.efi] [--esp DIR]\n"},
    {"driver", "driver remove [--esp DIR]\n"},
    {"status", "status [--json]\n"},
    {"collect", "collect DIR\n"},
};

void PrintUsage(FILE* to, const std::string& only) {
  bool first = true;
  for (const CommandUsage& usage : kUsages) {
    if (!only.empty() && only != usage.command) continue;
    fprintf(to, "%s pelloryctl %s", first ? "usage:" : "      ", usage.text);
    first = false;
  }
  if (only.empty()) fprintf(to, "       pelloryctl --version | --help | COMMAND --help\n");
}

bool Known(const std::string& command) {
  for (const CommandUsage& usage : kUsages)
    if (command == usage.command) return true;
  return false;
}

int Usage(FILE* err, const std::string& why) {
  fprintf(err, "pelloryctl: %s\n", why.c_str());
  PrintUsage(err, "");
  return kExitNone;
}

// The value of an option at argv[*i]; false when it is missing.
bool Value(int argc, char** argv, int* i, std::string* value) {
  if (*i + 1 >= argc) return false;
  *value = argv[++*i];
  return true;
}

int ParseSchedule(int argc, char** argv, FILE* out, FILE* err) {
  ScheduleOptions options;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    if (arg == "--after") {
      if (!Value(argc, argv, &i, &value) || !NamedValue(value, contract::kAfterNames, &options.after))
        return Usage(err, "--after takes return, reboot or shutdown");
    } else if (arg == "--allow") {
      if (!Value(argc, argv, &i, &value) || !NamedValue(value, contract::kAllowNames, &options.allow))
        return Usage(err, "--allow takes same, older or any");
    } else if (arg == "--identify") {
      options.mode = contract::Mode::Identify;
    } else if (arg == "--esp") {
      if (!Value(argc, argv, &i, &options.esp_dir)) return Usage(err, "--esp takes a folder");
    } else if (options.program.empty() && arg.rfind("--", 0) != 0) {
      options.program = arg;
    } else {
      return Usage(err, "unknown argument " + arg);
    }
  }
  if (options.program.empty()) return Usage(err, "schedule needs the program to run");
  // An identifying run writes nothing, so there is nothing to allow.
  if (options.mode == contract::Mode::Identify && options.allow != contract::Allow::Newer)
    return Usage(err, "--allow has no meaning with --identify");
  return Schedule(options, out, err);
}

// driver install [FILE] [--esp DIR], driver remove [--esp DIR]
int ParseDriver(int argc, char** argv, FILE* out, FILE* err) {
  const std::string action = argc > 2 ? argv[2] : "";
  if (action != "install" && action != "remove") return Usage(err, "driver takes install or remove");
  std::string file, esp_dir;
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" && argc == 4) {
      PrintUsage(out, "driver");
      return 0;
    }
    if (arg == "--esp") {
      if (!Value(argc, argv, &i, &esp_dir)) return Usage(err, "--esp takes a folder");
    } else if (action == "install" && file.empty() && arg.rfind("--", 0) != 0) {
      file = arg;
    } else {
      return Usage(err, "unknown argument " + arg);
    }
  }
  return action == "install" ? DriverInstall(file, esp_dir, out, err) : DriverRemove(esp_dir, out, err);
}

}  // namespace

int PelloryctlMain(int argc, char** argv, FILE* out, FILE* err) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "--version" && argc == 2) return fprintf(out, "pelloryctl %s\n", PELLORY_VERSION) < 0 ? kExitNone : 0;
  if (command == "--help" && argc == 2) {
    PrintUsage(out, "");
    return 0;
  }
  if (Known(command) && argc == 3 && strcmp(argv[2], "--help") == 0) {
    PrintUsage(out, command);
    return 0;
  }
  if (command == "schedule") return ParseSchedule(argc, argv, out, err);
  if (command == "result" && argc == 2) return Result(false, out, err);
  if (command == "result" && argc == 3 && strcmp(argv[2], "--json") == 0) return Result(true, out, err);
  if (command == "inspect" && argc == 3) return Inspect(argv[2], false, out, err);
  if (command == "inspect" && argc == 4 && strcmp(argv[3], "--json") == 0) return Inspect(argv[2], true, out, err);
  if (command == "cancel" && argc == 2) return Cancel(out, err);
  if (command == "clean" && argc == 2) return Clean("", out, err);
  if (command == "clean" && argc == 4 && strcmp(argv[2], "--esp") == 0) return Clean(argv[3], out, err);
  if (command == "collect" && argc == 3) return Collect(argv[2], out, err);
  if (command == "driver") return ParseDriver(argc, argv, out, err);
  if (command == "status" && argc == 2) return Status(false, out, err);
  if (command == "status" && argc == 3 && strcmp(argv[2], "--json") == 0) return Status(true, out, err);
  return Usage(err, command.empty() ? "no command" : "unknown command line");
}
