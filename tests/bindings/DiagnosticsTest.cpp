// The diagnostic report over the real PC/SC slot and the fake PC/SC library: every line in its
// shape and place, the reader section's failures, and a report that fills its buffer.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Diagnostics.h"
#include "tests/transport/pcsc/FakePCSC.h"

namespace qorx {
namespace {

using testing::Fake;
using testing::UsePCSCLibrary;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
  }

  std::string Report() {
    TQorTerminalAppletService service;
    DiagnosticReport report;
    EXPECT_EQ(BuildDiagnosticReport(service, &report), 0);
    EXPECT_EQ(std::string(report.Text()).size(), report.Length());
    return report.Text();
  }
};

TEST_F(DiagnosticsTest, EveryLineHasItsShape) {
  Fake().SetReaders(std::string("Reader A\0Reader B\0\0", 18));
  const std::vector<std::string> lines = Lines(Report());
  utsname kernel;
  ASSERT_EQ(uname(&kernel), 0);
  const std::string version = "(\\d+\\.\\d+\\.\\d+\\.\\d+|nao_localizado)";
  const std::vector<std::string> head = {
      "\\[PCSCDiagnosticTest\\]",
      "Processador\\.Arquitetura = Nao Intel",  // x86-64
      "Processador\\.Modelo = Indeterminada",
      "Processador\\.Quantidade= " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)),
      "Processador\\.Nivel= \\d+", "Processador\\.Revisao= \\d+",
      "Sistema\\.Nome = .+ Linux " + std::regex_replace(kernel.release, std::regex("[.+]"), "\\$&"),
      // Where the library we load lives: the fake's directory here.
      "Sistema\\.DiretorioInstalacao = " + DirectoryOf(QORX_FAKE_PCSC_PATH),
      "PCSCLib\\.pcscd = " + version,
      "PCSCLib\\.libqorx_fake_pcsc\\.so = 0\\.0\\.0\\.0",  // present, of no package
  };
  ASSERT_GT(lines.size(), head.size() + 3);
  for (size_t i = 0; i < head.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(head[i]))) << lines[i];
  size_t i = head.size();
  while (i < lines.size() && std::regex_match(lines[i], std::regex("PCSCLib\\.[^ ]+ = " + version)))
    ++i;  // the reader drivers
  ASSERT_LT(i + 3, lines.size() + 1);
  EXPECT_TRUE(std::regex_match(
      lines[i],
      std::regex("PCSCRM= ([0-9a-f]{8}; Gerenciador de Recursos OK\\.|0; \\*\\*ATENCAO\\*\\*: "
                 "O Gerenciador de Recursos NÃO está sendo executado\\.)")))
      << lines[i];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(i) + 1, lines.end()),
            (std::vector<std::string>{"Leitoras.Quantidade = 2", "Leitoras.Leitora.0 = Reader A",
                                      "Leitoras.Leitora.1 = Reader B"}));
}

TEST_F(DiagnosticsTest, NoReadersAndNoPCSCLibrary) {
  Fake().SetReaders("");
  std::string text = Report();
  EXPECT_EQ(text.substr(text.size() - 25), "\nLeitoras.Quantidade = 0\n");

  UsePCSCLibrary("/nonexistent/libpcsclite.so.1");
  text = Report();
  EXPECT_NE(
      text.find("Sistema.DiretorioInstalacao = ; Nao foi possivel recuperar informações sobre "
                "o diretório de instalação\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("PCSCLib.libpcsclite.so.1 = nao_localizado\n"), std::string::npos);
  // The system was named, so the report goes on to the resource manager and the readers.
  EXPECT_EQ(text.find("Smart Card Base Components"), std::string::npos);
  EXPECT_NE(text.find("\nPCSCRM= "), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 25), "\nLeitoras.Quantidade = 0\n");
}

// Readers that fail as the test says.
class Readers : public DiagnosticReaderSource {
 public:
  Readers(int count, int failAt, bool framework)
      : count_(count), failAt_(failAt), framework_(framework) {}
  int Count() override {
    if (failAt_ < 0) Fail();
    return count_;
  }
  TSDByteArray Name(int index) override {
    if (index == failAt_) Fail();
    return TSDByteArray(("Reader " + std::to_string(index)).c_str());
  }

 private:
  void Fail() {
    if (framework_) QORX_RAISE(sd::kExternal, unit::kSmartCardSlotPCSC);
    throw EAPSException(aps::kReaderIndexOutOfRange, 7, TSDByteArray("list gone"));
  }
  int count_, failAt_;
  bool framework_;
};

std::string ReadersSection(Readers readers) {
  DiagnosticReport report;
  EXPECT_EQ(BuildDiagnosticReport(readers, &report), 0);
  const std::string text = report.Text();
  return text.substr(text.find("Leitoras."));
}

TEST_F(DiagnosticsTest, ReaderFailuresEndTheReport) {
  EXPECT_EQ(ReadersSection(Readers(3, -1, false)),
            "Leitoras.Quantidade = 0; Nao foi possivel enumerar leitoras PC/SC.\n"
            "ErroExtendido= list gone");
  EXPECT_EQ(ReadersSection(Readers(3, 1, false)),
            "Leitoras.Quantidade = 3\nLeitoras.Leitora.0 = Reader 0\n"
            "Leitoras.Leitora.1 = 902 ; Impossível enumerar leitora 1\n");
  // Other failures are not the report's to turn into text.
  for (int failAt : {-1, 1}) {
    Readers readers(3, failAt, true);
    DiagnosticReport report;
    EXPECT_THROW(BuildDiagnosticReport(readers, &report), ESDException);
  }
  Readers none(0, 0, false);
  EXPECT_EQ(BuildDiagnosticReport(none, nullptr), 257);
}

TEST_F(DiagnosticsTest, AFullReportEndsWithAWholeLine) {
  const auto name = [](int i) {
    return "Very Long Reader Name With Its Maker, Model, Serial " + std::string(60, 'x') + ' ' +
           std::to_string(i);
  };
  std::string list;
  for (int i = 0; i < 60; ++i) list += name(i) + '\0';
  Fake().SetReaders(list + '\0');
  TQorTerminalAppletService service;
  DiagnosticReport report;
  ASSERT_EQ(BuildDiagnosticReport(service, &report), 0);
  EXPECT_TRUE(report.Full());
  const std::string text = report.Text();
  EXPECT_LT(text.size(), DiagnosticReport::kCapacity);
  EXPECT_EQ(text.back(), '\n');
  std::smatch last;
  EXPECT_TRUE(
      std::regex_search(text, last, std::regex("\nLeitoras\\.Leitora\\.(\\d+) = [^\n]+x \\d+\n$")));
  // However long the sections before the readers came out (pcscd running or not), the next
  // reader's line is what did not fit.
  const int next = last.empty() ? 0 : std::stoi(last[1]) + 1;
  const std::string nextLine =
      "Leitoras.Leitora." + std::to_string(next) + " = " + name(next) + '\n';
  EXPECT_GE(text.size() + nextLine.size(), DiagnosticReport::kCapacity)
      << "room for another reader was left";
  EXPECT_FALSE(report.Append("TecnologiaAtiva.Modelo = JNI\n")) << "nothing more once full";
  EXPECT_EQ(report.Text(), text);
}

TEST(DiagnosticReportTest, PiecesFitWholeOrNotAtAll) {
  DiagnosticReport report;
  const std::string almost(DiagnosticReport::kCapacity - 2, 'a');
  EXPECT_TRUE(report.Append(almost.c_str()));
  EXPECT_TRUE(report.AppendFormat("%c", 'b'));  // the last byte before the terminator
  EXPECT_FALSE(report.AppendFormat("%d", 7));
  EXPECT_EQ(report.Length(), DiagnosticReport::kCapacity - 1);
  EXPECT_EQ(report.Text(), almost + "b");
  report.Clear();
  EXPECT_TRUE(report.Append(almost.c_str()));
  EXPECT_FALSE(report.AppendFormat("%s", "cd"));
  EXPECT_EQ(report.Text(), almost) << "what vsnprintf wrote of the piece is taken back";
  EXPECT_FALSE(report.Append("")) << "full stays full";
}

// A process of ours whose executable has a name no other process has.
TEST(FindProcessIdTest, MatchesTheEndOfTheExecutableName) {
  char dir[] = "/tmp/qorx-procs-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string name = "QorxProbe" + std::to_string(getpid());
  const std::string program = std::string(dir) + "/" + name;
  ASSERT_EQ(std::system(("cp /bin/sleep '" + program + "'").c_str()), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The child is ours once exec has replaced it.
  for (int i = 0; i < 200 && FindProcessId(name.c_str()) == 0; ++i) usleep(10000);
  std::string upper = name, tail = name.substr(4);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(FindProcessId(name.c_str()), child);
  EXPECT_EQ(FindProcessId(upper.c_str()), child) << "case is ignored";
  EXPECT_EQ(FindProcessId(tail.c_str()), child) << "the end of the name is enough";
  EXPECT_EQ(FindProcessId("QorxProbe"), 0) << "the wanted name must end the candidate";
  EXPECT_EQ(FindProcessId(""), 0);
  EXPECT_EQ(FindProcessId(nullptr), 0);
  kill(child, SIGKILL);
  // Ended but not yet waited for: it no longer runs.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(FindProcessId(name.c_str()), 0);
  waitpid(child, nullptr, 0);
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
}  // namespace qorx
