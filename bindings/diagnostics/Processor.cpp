// Section 1 of the report: the processor.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bindings/Diagnostics.h"
#include "bindings/diagnostics/Probes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qorx::diagnostics {

namespace {

struct ProcessorInfo {
  int architecture;  // the codes support tools know: x86 0, ARM 5, x86-64 9, ARM64 12
  int type;
  long count;
  int level;
  int revision;
};

ProcessorInfo ReadProcessor() {
  ProcessorInfo p{0xFFFF, 0, ::sysconf(_SC_NPROCESSORS_ONLN), 0, 0};
  if (p.count < 1) p.count = 1;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    const unsigned baseFamily = (eax >> 8) & 0xF;
    const unsigned family = baseFamily == 0xF ? baseFamily + ((eax >> 20) & 0xFF) : baseFamily;
    unsigned model = (eax >> 4) & 0xF;
    if (baseFamily == 0x6 || baseFamily == 0xF) model |= ((eax >> 16) & 0xF) << 4;
    p.level = static_cast<int>(family);
    p.revision = static_cast<int>(model * 256 + (eax & 0xF));
  }
#if defined(__x86_64__)
  p.architecture = 9;
  p.type = 8664;
#else
  p.architecture = 0;
  p.type = p.level >= 5 ? 586 : p.level == 4 ? 486 : 386;
#endif
#else
#if defined(__aarch64__)
  p.architecture = 12;
#elif defined(__arm__)
  p.architecture = 5;
#endif
  // Processors that give a family, model and stepping in /proc/cpuinfo; others leave 0.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  int model = 0, stepping = 0;
  while (std::getline(cpuinfo, line) && !line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, colon));
    const int value = std::atoi(line.c_str() + colon + 1);
    if (key == "cpu family") p.level = value;
    if (key == "model") model = value;
    if (key == "stepping") stepping = value;
  }
  p.revision = model * 256 + stepping;
#endif
  return p;
}

}  // namespace

void AppendProcessor(DiagnosticReport& r) {
  const ProcessorInfo p = ReadProcessor();
  r.Append("Processador.Arquitetura = ");
  switch (p.architecture) {
    case 0:
      r.Append("Intel x86\n");
      break;
    case 1:
      r.Append("MIPS\n");
      break;
    case 2:
      r.Append("Alpha\n");
      break;
    case 3:
      r.Append("PPC\n");
      break;
    default:
      r.Append("Nao Intel\n");
      break;
  }
  r.Append("Processador.Modelo = ");
  switch (p.type) {
    case 386:
      r.Append("386\n");
      break;
    case 486:
      r.Append("486\n");
      break;
    case 586:
      r.Append("Pentium\n");
      break;
    case 4000:
      r.Append("MIPS_R4000\n");
      break;
    case 21064:
      r.Append("Alpha 21064\n");
      break;
    default:
      r.Append("Indeterminada\n");
      break;
  }
  r.AppendFormat("Processador.Quantidade= %d\nProcessador.Nivel= %d\nProcessador.Revisao= %d\n",
                 static_cast<int>(p.count), p.level, p.revision);
}

}  // namespace qorx::diagnostics
