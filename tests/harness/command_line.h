// An argv for a command-line parser under test: the program name, then the
// words. The words live as long as the CommandLine.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace gorv::test {

class CommandLine {
  public:
    CommandLine(const char* program, std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), program);
        for (std::string& word : words_) argv_.push_back(word.data());
        argv_.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

}  // namespace gorv::test
