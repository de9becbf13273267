#include "primaries.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "decimal.h"
#include "file_queries.h"

namespace tevu::condition {
namespace {

constexpr const char kUnaryLetters[] = "GLNOSabcdefghknoprstuwxz";
constexpr const char* kBinaryOps[] = {"=",   "!=",  "==",  "-nt", "-ot", "-ef",
                                      "-eq", "-ne", "-lt", "-le", "-gt", "-ge"};

bool status_has(const char* path, bool (*test)(const struct stat&)) {
  std::optional<struct stat> status = file_status(path);
  return status && test(*status);
}

bool accessible(const char* path, int mode) { return euidaccess(path, mode) == 0; }

// Whether the effective ID (from the getter) is the owner ID; a getter failure is false.
template <typename Id>
bool is_effective_id(Id owner, Id (*effective_id)()) {
  errno = 0;
  Id id = effective_id();
  if (id == static_cast<Id>(-1) && errno != 0) return false;
  return id == owner;
}

bool test_file_operand(char letter, const char* operand) {
  switch (letter) {
    case 'a':
    case 'e': return file_status(operand).has_value();
    case 'b': return status_has(operand, [](const struct stat& s) { return S_ISBLK(s.st_mode); });
    case 'c': return status_has(operand, [](const struct stat& s) { return S_ISCHR(s.st_mode); });
    case 'd': return status_has(operand, [](const struct stat& s) { return S_ISDIR(s.st_mode); });
    case 'f': return status_has(operand, [](const struct stat& s) { return S_ISREG(s.st_mode); });
    case 'p': return status_has(operand, [](const struct stat& s) { return S_ISFIFO(s.st_mode); });
    case 'S': return status_has(operand, [](const struct stat& s) { return S_ISSOCK(s.st_mode); });
    case 's': return status_has(operand, [](const struct stat& s) { return s.st_size > 0; });
    case 'g': return status_has(operand, [](const struct stat& s) { return (s.st_mode & S_ISGID) != 0; });
    case 'k': return status_has(operand, [](const struct stat& s) { return (s.st_mode & S_ISVTX) != 0; });
    case 'u': return status_has(operand, [](const struct stat& s) { return (s.st_mode & S_ISUID) != 0; });
    case 'r': return accessible(operand, R_OK);
    case 'w': return accessible(operand, W_OK);
    case 'x': return accessible(operand, X_OK);
    case 'O': {
      std::optional<struct stat> status = file_status(operand);
      return status && is_effective_id<uid_t>(status->st_uid, geteuid);
    }
    case 'G': {
      std::optional<struct stat> status = file_status(operand);
      return status && is_effective_id<gid_t>(status->st_gid, getegid);
    }
    case 'h':
    case 'L': {
      std::optional<struct stat> status = link_status(operand);
      return status && S_ISLNK(status->st_mode);
    }
    case 't': return is_terminal_descriptor(checked_integer_text(operand));
    case 'n': return *operand != '\0';
    case 'z': return *operand == '\0';
  }
  return false;
}

enum class Comparison { eq, ne, lt, le, gt, ge };

bool integer_comparison(const char* op, Comparison* comparison) {
  static constexpr struct {
    const char* word;
    Comparison comparison;
  } kIntegerOps[] = {{"-eq", Comparison::eq}, {"-ne", Comparison::ne}, {"-lt", Comparison::lt},
                     {"-le", Comparison::le}, {"-gt", Comparison::gt}, {"-ge", Comparison::ge}};
  for (const auto& entry : kIntegerOps) {
    if (word_is(op, entry.word)) {
      *comparison = entry.comparison;
      return true;
    }
  }
  return false;
}

bool holds(Comparison comparison, int order) {
  switch (comparison) {
    case Comparison::eq: return order == 0;
    case Comparison::ne: return order != 0;
    case Comparison::lt: return order < 0;
    case Comparison::le: return order <= 0;
    case Comparison::gt: return order > 0;
    case Comparison::ge: return order >= 0;
  }
  return false;
}

bool same_file(const char* left, const char* right) {
  std::optional<struct stat> a = file_status(left);
  std::optional<struct stat> b = file_status(right);
  return a && b && a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// The operands of one binary comparison, with their "-l" forms resolved to word positions.
struct BinaryOperands {
  const char* left;
  const char* right;
  bool left_is_length;
  bool right_is_length;
};

const char* integer_operand(const char* word, bool is_length, char (&buffer)[kLengthTextSize]) {
  return is_length ? length_as_decimal(word, buffer) : checked_integer_text(word);
}

bool compare_integers(Comparison comparison, const BinaryOperands& operands) {
  char left_buffer[kLengthTextSize];
  char right_buffer[kLengthTextSize];
  const char* left = integer_operand(operands.left, operands.left_is_length, left_buffer);
  const char* right = integer_operand(operands.right, operands.right_is_length, right_buffer);
  return holds(comparison, compare_decimal_text(left, right));
}

bool compare_files(const char* op, const BinaryOperands& operands) {
  if (operands.left_is_length || operands.right_is_length) {
    fail_with_word(word_is(op, "-nt")   ? "-nt does not accept -l"
                   : word_is(op, "-ot") ? "-ot does not accept -l"
                                        : "-ef does not accept -l",
                   nullptr, false);
  }
  if (word_is(op, "-ef")) return same_file(operands.left, operands.right);
  std::optional<FileTime> left = modification_time(operands.left);
  std::optional<FileTime> right = modification_time(operands.right);
  if (word_is(op, "-nt")) return left && (!right || is_later(*left, *right));
  return right && (!left || is_later(*right, *left));
}

bool evaluate_binary(const char* op, const BinaryOperands& operands) {
  Comparison comparison;
  if (integer_comparison(op, &comparison)) return compare_integers(comparison, operands);
  if (op[0] == '-') return compare_files(op, operands);
  const bool equal = std::strcmp(operands.left, operands.right) == 0;
  return word_is(op, "!=") ? !equal : equal;
}

}  // namespace

bool is_binary_op_word(const char* word) {
  for (const char* op : kBinaryOps) {
    if (word_is(word, op)) return true;
  }
  return false;
}

bool is_dash_word(const char* word) { return word[0] == '-' && word[1] != '\0' && word[2] == '\0'; }

bool is_unary_op_word(const char* word) {
  return is_dash_word(word) && std::strchr(kUnaryLetters, word[1]) != nullptr;
}

bool apply_unary_op(WordVector& words) {
  char letter = words.current()[1];
  if (letter == 'N' || letter == 'o') return false;
  next_word(words, true);
  const char* operand = words.current();
  ++words.pos;
  return test_file_operand(letter, operand);
}

bool apply_binary_op(WordVector& words, bool left_is_length) {
  if (left_is_length) next_word(words, false);
  const int op = words.pos + 1;
  const bool right_is_length = op < words.argc - 2 && word_is(words.word(op + 1), "-l");
  if (right_is_length) next_word(words, false);
  const BinaryOperands operands{words.word(op - 1), words.word(right_is_length ? op + 2 : op + 1),
                                left_is_length, right_is_length};
  const bool result = evaluate_binary(words.word(op), operands);
  words.pos += 3;
  return result;
}

}  // namespace tevu::condition
