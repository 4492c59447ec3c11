#include "master/client_list.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/checked_file.h"

namespace gorv::master {
namespace {

bool same_letter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Returns false when the keyword is absent; the value then keeps what it held.
bool extract_value(const char* line, const char* keyword, char* value) {
    const char* at = find_keyword(line, keyword);
    if (at == nullptr) return false;
    const char* start = at + std::strlen(keyword);
    int length = 0;
    while (length < kValueMaxLength && start[length] != '\0' && start[length] != ' ') ++length;
    std::memcpy(value, start, static_cast<size_t>(length));
    value[length] = '\0';
    return true;
}

bool parse_client_line(const char* line, ClientTable& table) {
    for (KeywordRule& rule : table.rules) {
        if (!extract_value(line, rule.keyword, rule.value) && rule.optional == 0) {
            std::printf("Parsing error while looking for %s\n", rule.keyword);
            return false;
        }
    }
    return true;
}

// An "Instances=" value read the way strtol reads base 10, held to 32 bits.
std::int64_t instance_count(const char* text) {
    const long count = std::strtol(text, nullptr, 10);
    if (count > INT32_MAX) return INT32_MAX;
    if (count < INT32_MIN) return INT32_MIN;
    return count;
}

// A list saved with DOS line ends leaves a carriage return on the host name
// of a line that ends in it; the name stays as read, and its look-up fails.
void warn_of_carriage_return(const char* host, std::int32_t first_row, std::int32_t last_row) {
    const size_t length = std::strlen(host);
    if (length == 0 || host[length - 1] != '\r') return;
    if (first_row == last_row)
        std::fprintf(stderr, "Master: the host name of row %d ends in a carriage return (DOS line ends?)\n",
                     first_row);
    else
        std::fprintf(stderr, "Master: the host name of rows %d to %d ends in a carriage return (DOS line ends?)\n",
                     first_row, last_row);
}

// Rows past the table are never stored; rows_asked counts them all so that
// the limit check can refuse the list.
bool add_client_rows(ClientTable& table, std::int64_t& rows_asked) {
    const char* host = table.rules[kClientname].value;
    const char* count_text = table.rules[kInstances].value;
    if (host[0] == '\0') {
        std::puts("Clientname is missing");
        return false;
    }
    if (std::strlen(host) >= static_cast<size_t>(kRowSize)) {
        std::printf("Clientname of %zu characters is too long: a row holds at most %d\n", std::strlen(host),
                    kRowSize - 1);
        return false;
    }
    const std::int64_t count = count_text[0] == '\0' ? 1 : instance_count(count_text);
    if (count < 1) return true;
    rows_asked += count;
    const std::int32_t first_row = table.row_count;
    for (std::int64_t n = 0; n < count && table.row_count < kMaxRemotes; ++n) {
        char* row = table.rows[table.row_count++];
        std::memcpy(row, host, std::strlen(host) + 1);
        std::printf("Clientname is %s\n", row);
    }
    if (table.row_count > first_row) warn_of_carriage_return(host, first_row, table.row_count - 1);
    return true;
}

}  // namespace

const char* find_keyword(const char* line, const char* keyword) {
    const size_t length = std::strlen(keyword);
    for (const char* at = line;; ++at) {
        size_t k = 0;
        while (k < length && at[k] != '\0' && same_letter(at[k], keyword[k])) ++k;
        if (k == length) return at;
        if (*at == '\0') return nullptr;
    }
}

ClientListResult read_client_lines(std::FILE* stream, ClientTable& table) {
    char line[kLineBufferSize];
    std::int64_t rows_asked = table.row_count;
    while (std::fgets(line, sizeof line, stream) != nullptr) {
        if (line[0] == '#') continue;
        const size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
        if (!parse_client_line(line, table)) {
            std::puts("Error parsing config");
            return {false, kExitFailure};
        }
        if (!add_client_rows(table, rows_asked)) {
            std::puts("Error validating config");
            return {false, kExitFailure};
        }
        if (rows_asked > kMaxRemotes) {
            std::puts("Master: Too many clients. Increase MAXREMOTES and recompile.");
            return {false, kExitFailure};
        }
    }
    return {true, kExitOk};
}

ClientListResult read_client_list(const char* path, ClientTable& table) {
    // A FIFO would hold the master for ever and a directory read as an empty list.
    std::FILE* file = open_regular_file(path).stream;
    if (file == nullptr) {
        std::printf("Bad client filename > %s <\n", path);
        return {false, kExitOk};
    }
    const ClientListResult result = read_client_lines(file, table);
    std::fclose(file);
    return result;
}

}  // namespace gorv::master
