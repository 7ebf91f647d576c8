#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// An exchange file of tests/integration/data: "COMMAND => RESPONSE" lines in hex (blanks
// ignored, '#' starts a comment) and "sim: OPTION" lines that configure the simulated card
// first. The same files are played through scriptor, through our PC/SC slot, and straight
// into the card.
struct Exchange {
  std::string command;   // upper-case hex, no blanks
  std::string response;  // data and status word
};

struct ExchangeFile {
  std::vector<std::string> setup;
  std::vector<Exchange> exchanges;

  static ExchangeFile Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    ExchangeFile file;
    std::string line;
    while (std::getline(in, line)) {
      line = line.substr(0, line.find('#'));
      if (line.compare(0, 4, "sim:") == 0) {
        file.setup.push_back(Trim(line.substr(4)));
        continue;
      }
      size_t arrow = line.find("=>");
      if (arrow == std::string::npos) {
        if (!Trim(line).empty()) throw std::runtime_error(path + ": bad line: " + line);
        continue;
      }
      file.exchanges.push_back({Hex(line.substr(0, arrow)), Hex(line.substr(arrow + 2))});
    }
    return file;
  }

 private:
  static std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
  }
  static std::string Hex(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); }),
            s.end());
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
};
