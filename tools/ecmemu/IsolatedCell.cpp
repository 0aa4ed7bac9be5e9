#include "tools/ecmemu/IsolatedCell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace ecmemu {
namespace {

nlohmann::json ToJson(const CellResult& r) {
  return {{"end", static_cast<int>(r.end)},  {"initialized", r.initialized}, {"status", r.initializeStatus},
          {"halt", r.haltMs},                {"urbs", r.urbs},               {"problems", r.problems},
          {"checks", r.sessionChecks},       {"steps", r.sessionSteps}};
}

CellResult FromJson(const nlohmann::json& j) {
  CellResult r;
  r.end = static_cast<CellEnd>(j.at("end").get<int>());
  r.initialized = j.at("initialized");
  r.initializeStatus = j.at("status");
  r.haltMs = j.at("halt");
  r.urbs = j.at("urbs");
  r.problems = j.at("problems").get<std::vector<std::string>>();
  r.sessionChecks = j.at("checks").get<std::vector<std::string>>();
  r.sessionSteps = j.at("steps").get<std::vector<std::string>>();
  return r;
}

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// The first lines of what the child wrote to standard error: the violation and where.
std::string Head(FILE* file, int lines) {
  std::rewind(file);
  std::string text;
  for (int c; lines > 0 && (c = std::fgetc(file)) != EOF;) {
    text += static_cast<char>(c);
    if (c == '\n') --lines;
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

CellResult RunIsolatedCell(const CellSetup& setup) {
  FILE* errors = std::tmpfile();
  int channel[2];
  if (!errors || pipe(channel) != 0) return RunCell(setup);
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    dup2(fileno(errors), STDERR_FILENO);
    alarm(kCellRealSecondsBound);
    std::string text = ToJson(RunCell(setup)).dump();
    for (size_t done = 0; done < text.size();) {
      ssize_t n = write(channel[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(0);  // nothing of the parent's to tear down twice
  }
  close(channel[1]);
  std::string text = ReadAll(channel[0]);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  CellResult result;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !text.empty()) {
    result = FromJson(nlohmann::json::parse(text));
  } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    result.problems.push_back("the cell did not end within " + std::to_string(kCellRealSecondsBound) + " s");
  } else {
    result.problems.push_back("the cell aborted:\n      " + Head(errors, 4));
  }
  std::fclose(errors);
  return result;
}

}  // namespace ecmemu
