// Turns fuzz input into a command line: words separated by NUL bytes,
// the program name first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gorv::fuzz {

class CommandLine {
  public:
    CommandLine(const char* program, const std::uint8_t* data, std::size_t size) {
        words_.emplace_back(program);
        std::string word;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == '\0') {
                words_.push_back(word);
                word.clear();
            } else {
                word.push_back(static_cast<char>(data[i]));
            }
        }
        if (!word.empty()) words_.push_back(word);
        for (std::string& w : words_) argv_.push_back(w.data());
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

}  // namespace gorv::fuzz
