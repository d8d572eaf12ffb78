#include "StandinDialect.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "StandinValues.h"

namespace {

enum class TokenType {
  kSpace,
  kWord,
  kString,
  kNumber,
  kQuotedName,
  kOperator,
  kOpen,
  kClose,
  kComma,
  kSemicolon
};

struct Token {
  TokenType type;
  std::string text;
};

// A token, or a parenthesized group with its content (without the parens).
struct Node {
  Token token;
  bool isGroup = false;
  std::vector<Node> children;
  bool closed = true;  // false for a group that the text never closes
};

bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '@' ||
         c == '#' || static_cast<unsigned char>(c) >= 0x80;
}

std::vector<Token> tokenize(const std::string& sql) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < sql.size()) {
    size_t start = i;
    char c = sql[i];
    TokenType type;
    if (std::isspace(static_cast<unsigned char>(c))) {
      while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) {
        ++i;
      }
      type = TokenType::kSpace;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') {
        ++i;
      }
      type = TokenType::kSpace;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? sql.size() : end + 2;
      type = TokenType::kSpace;
    } else if (c == '\'' || c == '"' || c == '[' || c == '`') {
      char close = c == '[' ? ']' : c;
      ++i;
      while (i < sql.size()) {
        if (sql[i] == close) {
          if (close != ']' && i + 1 < sql.size() && sql[i + 1] == close) {
            i += 2;  // doubled quote inside the literal
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
      type = c == '\'' ? TokenType::kString : TokenType::kQuotedName;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < sql.size() &&
                std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
      while (i < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '.' ||
              ((sql[i] == '+' || sql[i] == '-') && (sql[i - 1] == 'e' || sql[i - 1] == 'E')))) {
        ++i;
      }
      type = TokenType::kNumber;
    } else if (isWordChar(c)) {
      while (i < sql.size() && isWordChar(sql[i])) {
        ++i;
      }
      type = TokenType::kWord;
      // X'0A1B' is one blob literal.
      if (i - start == 1 && (c == 'x' || c == 'X') && i < sql.size() && sql[i] == '\'') {
        size_t end = sql.find('\'', i + 1);
        i = end == std::string::npos ? sql.size() : end + 1;
        type = TokenType::kNumber;
      }
    } else if (c == '(') {
      ++i;
      type = TokenType::kOpen;
    } else if (c == ')') {
      ++i;
      type = TokenType::kClose;
    } else if (c == ',') {
      ++i;
      type = TokenType::kComma;
    } else if (c == ';') {
      ++i;
      type = TokenType::kSemicolon;
    } else {
      static const char* const kTwoCharOperators[] = {
          "!=", "<>", "<=", ">=", "==", "||", "<<", ">>", "->"};
      i += 1;
      for (const char* op : kTwoCharOperators) {
        if (sql.compare(start, 2, op) == 0) {
          i = start + 2;
          break;
        }
      }
      type = TokenType::kOperator;
    }
    tokens.push_back({type, sql.substr(start, i - start)});
  }
  return tokens;
}

// Builds the group tree; an unbalanced ')' stays a plain token so that
// SQLite reports the syntax error itself.
std::vector<Node> buildTree(const std::vector<Token>& tokens, size_t& pos, bool inGroup,
                            bool& closed) {
  std::vector<Node> nodes;
  while (pos < tokens.size()) {
    const Token& token = tokens[pos++];
    if (token.type == TokenType::kOpen) {
      Node group{token, true, {}, false};
      group.children = buildTree(tokens, pos, true, group.closed);
      nodes.push_back(std::move(group));
    } else if (token.type == TokenType::kClose && inGroup) {
      closed = true;
      return nodes;
    } else {
      nodes.push_back({token, false, {}});
    }
  }
  return nodes;
}

std::string render(const std::vector<Node>& nodes);

std::string render(const Node& node) {
  if (!node.isGroup) {
    return node.token.text;
  }
  // Appended, not joined with "+": g++ 12 sees a false overlap in
  // operator+(const char*, string&&) at -O2 (-Wrestrict).
  std::string text = "(";
  text.append(render(node.children));
  if (node.closed) {
    text.append(")");
  }
  return text;
}

std::string render(const std::vector<Node>& nodes) {
  std::string out;
  for (const Node& node : nodes) {
    out += render(node);
  }
  return out;
}

bool isWord(const Node& node, const char* word) {
  return !node.isGroup && node.token.type == TokenType::kWord &&
         strcasecmp(node.token.text.c_str(), word) == 0;
}

Node rawNode(const std::string& text) {
  return {{TokenType::kWord, text}, false, {}};
}

// Splits a group's content at its top-level commas, trimming blanks.
std::vector<std::vector<Node>> splitArguments(const std::vector<Node>& children) {
  std::vector<std::vector<Node>> arguments(1);
  for (const Node& child : children) {
    if (!child.isGroup && child.token.type == TokenType::kComma) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(child);
    }
  }
  for (auto& argument : arguments) {
    while (!argument.empty() && argument.back().token.type == TokenType::kSpace &&
           !argument.back().isGroup) {
      argument.pop_back();
    }
    while (!argument.empty() && argument.front().token.type == TokenType::kSpace &&
           !argument.front().isGroup) {
      argument.erase(argument.begin());
    }
  }
  return arguments;
}

std::string quoteLiteral(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') {
      out += '\'';
    }
  }
  return out + "'";
}

std::string collated(const std::string& expression) {
  return std::string("(") + expression + " COLLATE " + kStandinCollation + ")";
}

// Index of the next node that is not blank, or nodes.size().
size_t nextSolid(const std::vector<Node>& nodes, size_t i) {
  while (i < nodes.size() && !nodes[i].isGroup && nodes[i].token.type == TokenType::kSpace) {
    ++i;
  }
  return i;
}

void rewriteSequence(std::vector<Node>& nodes);

// CONVERT(type[(n)], value[, style]) and DATEADD(unit, n, value) into calls of
// the stand-in's functions; returns false when the arguments do not fit, and
// the text then goes to SQLite unchanged to fail there.
bool rewriteFunctionCall(const std::string& name, Node& group, std::string& out) {
  rewriteSequence(group.children);
  std::vector<std::vector<Node>> arguments = splitArguments(group.children);
  if (strcasecmp(name.c_str(), "convert") == 0) {
    if (arguments.size() < 2 || arguments.size() > 3 || arguments[0].empty() ||
        arguments[0][0].token.type != TokenType::kWord || arguments[1].empty()) {
      return false;
    }
    std::string length = "-1";
    size_t open = nextSolid(arguments[0], 1);
    if (open < arguments[0].size()) {
      if (!arguments[0][open].isGroup || nextSolid(arguments[0], open + 1) != arguments[0].size()) {
        return false;
      }
      length = render(arguments[0][open].children);
      if (strcasecmp(length.c_str(), "max") == 0) {
        length = "2147483647";
      }
    }
    std::string style = arguments.size() == 3 ? render(arguments[2]) : "NULL";
    out = "standin_convert(" + quoteLiteral(arguments[0][0].token.text) + ", " + length + ", " +
          render(arguments[1]) + ", " + style + ")";
    return true;
  }
  if (arguments.size() != 3 || arguments[0].size() != 1 ||
      arguments[0][0].token.type != TokenType::kWord) {
    return false;
  }
  out = collated("standin_dateadd(" + quoteLiteral(arguments[0][0].token.text) + ", " +
                 render(arguments[1]) + ", " + render(arguments[2]) + ")");
  return true;
}

// Words that end an operand chain: everything an expression cannot be made of.
bool isBreakingKeyword(const Node& node) {
  static const char* const kKeywords[] = {
      "select",  "from",      "where",   "and",   "or",     "not",      "is",     "in",
      "like",    "glob",      "between", "as",    "on",     "by",       "order",  "group",
      "having",  "asc",       "desc",    "set",   "values", "into",     "insert", "update",
      "delete",  "when",      "then",    "else",  "end",    "case",     "join",   "left",
      "inner",   "outer",     "cross",   "union", "all",    "distinct", "limit",  "offset",
      "escape",  "exists",    "with",    "nulls", "first",  "last",     "using",  "natural",
      "except",  "intersect", "regexp",  "match", "isnull", "notnull",  "top",    "returning",
      "default", "collate"};
  if (node.isGroup || node.token.type != TokenType::kWord) {
    return false;
  }
  for (const char* keyword : kKeywords) {
    if (strcasecmp(node.token.text.c_str(), keyword) == 0) {
      return true;
    }
  }
  return false;
}

bool isOperator(const Node& node, const char* op) {
  return !node.isGroup && node.token.type == TokenType::kOperator && node.token.text == op;
}

// Whether the node can stand as (the end of) an operand.
bool isOperand(const Node& node) {
  if (node.isGroup) {
    return true;
  }
  switch (node.token.type) {
    case TokenType::kWord:
      return !isBreakingKeyword(node);
    case TokenType::kString:
    case TokenType::kNumber:
    case TokenType::kQuotedName:
      return true;
    default:
      return false;
  }
}

bool bindsTighterThanPlus(const Node& node) {
  static const char* const kOperators[] = {"*", "/", "%", "||", ".", "~"};
  for (const char* op : kOperators) {
    if (isOperator(node, op)) {
      return true;
    }
  }
  return false;
}

bool isBlank(const Node& node) {
  return !node.isGroup && node.token.type == TokenType::kSpace;
}

// Rewrites every chain "t1 +|- t2 +|- ..." that holds a binary '+' into
// nested standin_plus calls, left to right as SQL Server groups them. A term
// is an operand with its unary signs, calls, qualifiers, COLLATE names and
// the operands joined to it by operators that bind tighter than '+'.
void rewritePlusChains(std::vector<Node>& nodes) {
  std::vector<Node> out;
  size_t i = 0;
  while (i < nodes.size()) {
    std::vector<size_t> operatorAt;  // indices of the binary '+' and '-'
    bool expectOperand = true;
    size_t lastOperand = nodes.size();
    for (size_t j = i; j < nodes.size(); ++j) {
      const Node& node = nodes[j];
      if (isBlank(node)) {
        continue;
      }
      if (expectOperand) {
        if (isOperator(node, "-") || isOperator(node, "+") || isOperator(node, "~")) {
          continue;
        }
        if (!isOperand(node)) {
          break;
        }
        expectOperand = false;
        lastOperand = j;
      } else if (node.isGroup && !nodes[lastOperand].isGroup &&
                 nodes[lastOperand].token.type == TokenType::kWord) {
        lastOperand = j;  // the arguments of a call
      } else if (isOperator(node, ".") || bindsTighterThanPlus(node)) {
        expectOperand = true;
      } else if (isOperator(node, "+") || isOperator(node, "-")) {
        operatorAt.push_back(j);
        expectOperand = true;
      } else if (isWord(node, "collate") && nextSolid(nodes, j + 1) < nodes.size()) {
        j = nextSolid(nodes, j + 1);
        lastOperand = j;
      } else {
        break;
      }
    }
    if (lastOperand == nodes.size()) {
      out.push_back(nodes[i++]);  // not the start of an expression
      continue;
    }
    while (!operatorAt.empty() && operatorAt.back() > lastOperand) {
      operatorAt.pop_back();
    }
    bool hasPlus = false;
    for (size_t at : operatorAt) {
      hasPlus = hasPlus || nodes[at].token.text == "+";
    }
    if (!hasPlus) {
      for (size_t k = i; k <= lastOperand; ++k) {
        out.push_back(nodes[k]);
      }
      i = lastOperand + 1;
      continue;
    }
    auto termText = [&](size_t from, size_t to) {
      std::string text;
      for (size_t k = nextSolid(nodes, from); k < to; ++k) {
        text += render(nodes[k]);
      }
      return text.substr(0, text.find_last_not_of(" \t\r\n") + 1);
    };
    std::string accumulated = termText(i, operatorAt[0]);
    for (size_t k = 0; k < operatorAt.size(); ++k) {
      size_t termEnd = k + 1 < operatorAt.size() ? operatorAt[k + 1] : lastOperand + 1;
      std::string term = termText(operatorAt[k] + 1, termEnd);
      accumulated = nodes[operatorAt[k]].token.text == "+"
                        ? "standin_plus(" + accumulated + ", " + term + ")"
                        : "(" + accumulated + " - " + term + ")";
    }
    for (size_t k = i; k < nextSolid(nodes, i); ++k) {
      out.push_back(nodes[k]);  // blanks before the chain
    }
    out.push_back(rawNode(accumulated));
    i = lastOperand + 1;
  }
  nodes = std::move(out);
}

// Puts the STANDIN collation on every ORDER BY term of this level.
void collateOrderByTerms(std::vector<Node>& nodes) {
  static const char* const kTermEnds[] = {"asc", "desc", "nulls", "limit", "offset", "collate"};
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!isWord(nodes[i], "order")) {
      continue;
    }
    size_t by = nextSolid(nodes, i + 1);
    if (by >= nodes.size() || !isWord(nodes[by], "by")) {
      continue;
    }
    size_t j = by + 1;
    while (j <= nodes.size()) {
      // Find the end of the term: a comma, a modifier word or the end.
      size_t termEnd = j;
      bool explicitCollation = false;
      while (termEnd < nodes.size() && nodes[termEnd].token.type != TokenType::kComma) {
        bool isEnd = false;
        for (const char* word : kTermEnds) {
          isEnd = isEnd || isWord(nodes[termEnd], word);
        }
        if (isEnd) {
          explicitCollation = isWord(nodes[termEnd], "collate");
          break;
        }
        ++termEnd;
      }
      size_t lastSolid = termEnd;
      while (lastSolid > j && !nodes[lastSolid - 1].isGroup &&
             nodes[lastSolid - 1].token.type == TokenType::kSpace) {
        --lastSolid;
      }
      if (!explicitCollation && lastSolid > j) {
        nodes.insert(nodes.begin() + lastSolid,
                     rawNode(std::string(" COLLATE ") + kStandinCollation));
        ++termEnd;
      }
      while (termEnd < nodes.size() && nodes[termEnd].token.type != TokenType::kComma) {
        if (isWord(nodes[termEnd], "limit") || isWord(nodes[termEnd], "offset")) {
          return;
        }
        ++termEnd;
      }
      if (termEnd >= nodes.size()) {
        return;
      }
      j = termEnd + 1;
    }
  }
}

// The text of a plain '...' literal token; false for anything else.
bool unquoteLiteral(const std::string& token, std::string& text) {
  if (token.size() < 2 || token.front() != '\'' || token.back() != '\'') {
    return false;
  }
  text.clear();
  for (size_t i = 1; i + 1 < token.size(); ++i) {
    text += token[i];
    if (token[i] == '\'' && token[i + 1] == '\'') {
      ++i;
    }
  }
  return true;
}

// A byte that only itself matches under the collation: no letter of either
// case, no blank (trailing blanks are ignored).
bool matchesOnlyItself(unsigned char byte) {
  std::string one(1, static_cast<char>(byte));
  return byte != ' ' && std::isalpha(byte) == 0 && byte < 0x80 && collationKey(one) == one;
}

// A column compared with a literal under the collation defeats a plain index
// on it. Every value equal to the literal starts with the literal's bytes up
// to its first letter (or blank), so a plain range over that prefix finds
// them all; the comparison itself stays as it was. Empty when the literal
// gives no such prefix (or reads as a datetime, which compares by value).
std::string indexableRange(const std::string& column, const std::string& token) {
  std::string text;
  Datetime datetime;
  if (!unquoteLiteral(token, text) || parseDatetime(text, datetime)) {
    return std::string();
  }
  size_t length = 0;
  while (length < text.size() && matchesOnlyItself(static_cast<unsigned char>(text[length]))) {
    ++length;
  }
  if (length == 0) {
    return std::string();
  }
  std::string low = text.substr(0, length);
  std::string high = low;
  high.back() = static_cast<char>(high.back() + 1);
  return column + " >= " + quoteLiteral(low) + " AND " + column + " < " + quoteLiteral(high);
}

// Whether a comparison can end before this node: nothing binds tighter.
bool endsComparison(const std::vector<Node>& nodes, size_t next) {
  static const char* const kEnds[] = {"and", "or", "then", "when", "else", "end", "order", "group"};
  if (next >= nodes.size()) {
    return true;
  }
  for (const char* word : kEnds) {
    if (isWord(nodes[next], word)) {
      return true;
    }
  }
  return !nodes[next].isGroup && nodes[next].token.type == TokenType::kSemicolon;
}

// Rewrites "column = 'literal'" that stands as a condition of its own into
// "(column = 'literal' AND <range>)", where the range lets a plain index on
// the column find the rows; out ends with "column =" and node is the literal.
bool addIndexableRange(std::vector<Node>& out, const std::vector<Node>& nodes, size_t i,
                       const Node& literal) {
  std::vector<size_t> solid;
  for (size_t k = out.size(); k > 0 && solid.size() < 3; --k) {
    if (out[k - 1].isGroup || out[k - 1].token.type != TokenType::kSpace) {
      solid.push_back(k - 1);
    }
  }
  if (solid.size() < 2 || !isOperator(out[solid[0]], "=") || out[solid[1]].isGroup ||
      out[solid[1]].token.type != TokenType::kWord) {
    return false;
  }
  static const char* const kStarts[] = {"where", "and", "or", "not", "when", "on"};
  bool startsCondition = false;
  for (const char* word : kStarts) {
    startsCondition = startsCondition || (solid.size() == 3 && isWord(out[solid[2]], word));
  }
  if (!startsCondition || !endsComparison(nodes, nextSolid(nodes, i + 1))) {
    return false;
  }
  std::string column = out[solid[1]].token.text;
  std::string range = indexableRange(column, literal.token.text);
  if (range.empty()) {
    return false;
  }
  std::string comparison;
  for (size_t k = solid[1]; k < out.size(); ++k) {
    comparison += render(out[k]);
  }
  out.resize(solid[1]);
  out.push_back(rawNode("(" + comparison + collated(literal.token.text) + " AND " + range + ")"));
  return true;
}

// Rewrites one level of nodes and, through the calls, every group below.
void rewriteSequence(std::vector<Node>& nodes) {
  std::vector<Node> out;
  for (size_t i = 0; i < nodes.size(); ++i) {
    Node& node = nodes[i];
    size_t next = nextSolid(nodes, i + 1);
    bool callFollows = next < nodes.size() && nodes[next].isGroup;
    if (node.isGroup) {
      rewriteSequence(node.children);
      out.push_back(std::move(node));
    } else if (node.token.type == TokenType::kString) {
      bool afterAs = false;
      for (size_t k = out.size(); k > 0; --k) {
        if (out[k - 1].isGroup || out[k - 1].token.type != TokenType::kSpace) {
          afterAs = isWord(out[k - 1], "as");
          break;
        }
      }
      if (afterAs) {
        out.push_back(node);
      } else if (!addIndexableRange(out, nodes, i, node)) {
        out.push_back(rawNode(collated(node.token.text)));
      }
    } else if ((isWord(node, "kvlsystem") || isWord(node, "dbo")) && i + 1 < nodes.size() &&
               isOperator(nodes[i + 1], ".")) {
      out.push_back(rawNode("main"));
    } else if (isWord(node, "@@trancount")) {
      out.push_back(rawNode("standin_trancount()"));
    } else if (isWord(node, "current_timestamp") && !callFollows) {
      out.push_back(rawNode(collated("standin_now()")));
    } else if (isWord(node, "getdate") && callFollows && nodes[next].children.empty()) {
      out.push_back(rawNode(collated("standin_now()")));
      i = next;
    } else if (isWord(node, "isnull") && callFollows) {
      out.push_back(rawNode("ifnull"));
    } else if ((isWord(node, "convert") || isWord(node, "dateadd")) && callFollows) {
      std::string call;
      if (rewriteFunctionCall(node.token.text, nodes[next], call)) {
        out.push_back(rawNode(call));
      } else {
        for (size_t k = i; k <= next; ++k) {
          out.push_back(std::move(nodes[k]));
        }
      }
      i = next;
    } else {
      out.push_back(std::move(node));
    }
  }
  rewritePlusChains(out);
  collateOrderByTerms(out);
  nodes = std::move(out);
}

StatementKind classify(const std::vector<Token>& tokens) {
  for (const Token& token : tokens) {
    if (token.type == TokenType::kSpace || token.type == TokenType::kOpen) {
      continue;
    }
    const char* word = token.text.c_str();
    if (strcasecmp(word, "select") == 0 || strcasecmp(word, "with") == 0 ||
        strcasecmp(word, "values") == 0) {
      return StatementKind::kSelect;
    }
    if (strcasecmp(word, "insert") == 0 || strcasecmp(word, "replace") == 0) {
      return StatementKind::kInsert;
    }
    if (strcasecmp(word, "update") == 0) {
      return StatementKind::kUpdate;
    }
    if (strcasecmp(word, "delete") == 0) {
      return StatementKind::kDelete;
    }
    return StatementKind::kOther;
  }
  return StatementKind::kOther;
}

// Only the schema prefix changes in statements that define things: a
// collation in a CREATE would make the file unreadable for other tools.
std::string translateOther(const std::vector<Token>& tokens) {
  std::string out;
  for (size_t i = 0; i < tokens.size(); ++i) {
    bool prefix = tokens[i].type == TokenType::kWord &&
                  (strcasecmp(tokens[i].text.c_str(), "kvlsystem") == 0 ||
                   strcasecmp(tokens[i].text.c_str(), "dbo") == 0) &&
                  i + 1 < tokens.size() && tokens[i + 1].text == ".";
    out += prefix ? "main" : tokens[i].text;
  }
  return out;
}

// The text of tokens as they came.
std::string joined(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& token : tokens) {
    out += token.text;
  }
  return out;
}

std::string upperCase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

bool isWordToken(const Token& token, const char* word) {
  return token.type == TokenType::kWord && strcasecmp(token.text.c_str(), word) == 0;
}

// Index of the first token from i on that is not blank, or tokens.size().
size_t nextSolidToken(const std::vector<Token>& tokens, size_t i) {
  while (i < tokens.size() && tokens[i].type == TokenType::kSpace) {
    ++i;
  }
  return i;
}

// Whether the WITH at `at` opens common table expressions,
// "WITH [RECURSIVE] name [(columns)] AS (", rather than a table hint
// ("WITH (NOLOCK)") or another clause ("WITH TIES").
bool opensCommonTables(const std::vector<Token>& tokens, size_t at) {
  size_t i = nextSolidToken(tokens, at + 1);
  if (i < tokens.size() && isWordToken(tokens[i], "recursive")) {
    i = nextSolidToken(tokens, i + 1);
  }
  if (i >= tokens.size() ||
      (tokens[i].type != TokenType::kWord && tokens[i].type != TokenType::kQuotedName)) {
    return false;
  }
  i = nextSolidToken(tokens, i + 1);
  if (i < tokens.size() && tokens[i].type == TokenType::kOpen) {
    int depth = 0;
    for (; i < tokens.size(); ++i) {
      depth += tokens[i].type == TokenType::kOpen    ? 1
               : tokens[i].type == TokenType::kClose ? -1
                                                     : 0;
      if (depth == 0) {
        break;
      }
    }
    i = nextSolidToken(tokens, i + 1);
  }
  return i < tokens.size() && isWordToken(tokens[i], "as");
}

// The keywords that T-SQL starts a statement with, among those the stand-in
// runs.
const char* const kStatementKeywords[] = {"select", "insert",   "update", "delete", "set",
                                          "with",   "create",   "alter",  "drop",   "begin",
                                          "commit", "rollback", "print",  "if"};

// The statement keyword (upper case) that token `at` is, or empty. A word
// after a '.' is a name.
std::string statementKeyword(const std::vector<Token>& tokens, size_t at, const Token* lastSolid) {
  const Token& token = tokens[at];
  if (token.type != TokenType::kWord || (lastSolid != nullptr && lastSolid->text == ".")) {
    return std::string();
  }
  for (const char* keyword : kStatementKeywords) {
    if (strcasecmp(token.text.c_str(), keyword) == 0) {
      bool hint = strcasecmp(keyword, "with") == 0 && !opensCommonTables(tokens, at);
      return hint ? std::string() : upperCase(keyword);
    }
  }
  return std::string();
}

// What decides whether a statement keyword at the top level continues the
// statement read so far or starts the next one.
struct StatementScan {
  std::string lead;  // the first word, upper case; empty before it
  std::string main;  // the statement a WITH's common tables serve; empty until it comes
  bool updateHasSet = false;
  bool insertHasSource = false;
  const Token* lastSolid = nullptr;  // the last token of the top level that is not blank
};

bool isSetOperator(const Token* token) {
  return token != nullptr && (isWordToken(*token, "union") || isWordToken(*token, "except") ||
                              isWordToken(*token, "intersect") || isWordToken(*token, "all"));
}

bool isDataStatement(const std::string& keyword) {
  return keyword == "SELECT" || keyword == "INSERT" || keyword == "UPDATE" || keyword == "DELETE";
}

// Whether `keyword` continues the statement: the SET of an UPDATE, the
// SELECT of an INSERT or after UNION, the statement after common tables.
// CREATE and ALTER hold other statements' keywords (a view's SELECT, a
// trigger's body, DROP COLUMN) and end only at ';' or with the batch.
bool continuesStatement(StatementScan& scan, const std::string& keyword) {
  if (scan.lead == "CREATE" || scan.lead == "ALTER" || (scan.lead == "DROP" && keyword == "IF")) {
    return true;
  }
  if (keyword == "SELECT" && isSetOperator(scan.lastSolid)) {
    return true;
  }
  if (scan.lead == "WITH" && scan.main.empty() && isDataStatement(keyword)) {
    scan.main = keyword;
    return true;
  }
  if (keyword == "SELECT" && scan.main == "INSERT" && !scan.insertHasSource) {
    scan.insertHasSource = true;
    return true;
  }
  if (keyword == "SET" && scan.main == "UPDATE" && !scan.updateHasSet) {
    scan.updateHasSet = true;
    return true;
  }
  return false;
}

// Notes what a token of the top level tells about the statement.
void scanToken(StatementScan& scan, const std::vector<Token>& tokens, size_t at) {
  const Token& token = tokens[at];
  if (token.type == TokenType::kSpace) {
    return;
  }
  if (scan.lead.empty()) {
    scan.lead = upperCase(token.text);
    bool commonTables = scan.lead == "WITH" && opensCommonTables(tokens, at);
    scan.main = commonTables ? std::string() : scan.lead;
  } else if (scan.main == "INSERT" && (isWordToken(token, "values") || isWordToken(token, "exec") ||
                                       isWordToken(token, "execute"))) {
    scan.insertHasSource = true;
  }
  scan.lastSolid = &token;
}

StatementKind kindOf(const std::vector<Token>& tokens, const StatementScan& scan) {
  static const std::pair<const char*, StatementKind> kByLead[] = {
      {"SET", StatementKind::kSet},       {"BEGIN", StatementKind::kBegin},
      {"COMMIT", StatementKind::kCommit}, {"ROLLBACK", StatementKind::kRollback},
      {"PRINT", StatementKind::kPrint},
  };
  for (const auto& [lead, kind] : kByLead) {
    if (scan.lead == lead) {
      return kind;
    }
  }
  if (scan.lead == "WITH" && scan.main == "INSERT") {
    return StatementKind::kInsert;
  }
  if (scan.lead == "WITH" && (scan.main == "UPDATE" || scan.main == "DELETE")) {
    return scan.main == "UPDATE" ? StatementKind::kUpdate : StatementKind::kDelete;
  }
  return classify(tokens);
}

TranslatedStatement translateStatement(const std::vector<Token>& tokens, StatementKind kind);

// PRINT expression as the SELECT of the expression, which the engine runs
// for the message's text.
TranslatedStatement translatePrint(std::vector<Token> tokens) {
  size_t print = nextSolidToken(tokens, 0);
  tokens[print].text = "SELECT";
  TranslatedStatement statement = translateStatement(tokens, StatementKind::kSelect);
  statement.kind = StatementKind::kPrint;
  return statement;
}

// The query that tells whether the IF conditions hold: 1 or 0. Each
// condition is the tokens after its IF.
std::string conditionQuery(const std::vector<std::vector<Token>>& conditions) {
  std::vector<Token> tokens = tokenize("SELECT CASE WHEN ");
  for (size_t index = 0; index < conditions.size(); ++index) {
    std::vector<Token> open = tokenize(index == 0 ? "(" : " AND (");
    tokens.insert(tokens.end(), open.begin(), open.end());
    const std::vector<Token>& condition = conditions[index];
    tokens.insert(tokens.end(), condition.begin() + nextSolidToken(condition, 0) + 1,
                  condition.end());
    tokens.push_back({TokenType::kClose, ")"});
  }
  std::vector<Token> end = tokenize(" THEN 1 ELSE 0 END");
  tokens.insert(tokens.end(), end.begin(), end.end());
  return translateStatement(tokens, StatementKind::kSelect).text;
}

TranslatedStatement translateStatement(const std::vector<Token>& tokens, StatementKind kind) {
  TranslatedStatement statement;
  statement.kind = kind;
  if (kind == StatementKind::kSet || kind == StatementKind::kBegin ||
      kind == StatementKind::kCommit || kind == StatementKind::kRollback) {
    statement.text = joined(tokens);
  } else if (kind == StatementKind::kPrint) {
    statement = translatePrint(tokens);
  } else if (kind == StatementKind::kOther) {
    statement.text = translateOther(tokens);
  } else {
    size_t pos = 0;
    bool closed = true;
    std::vector<Node> tree = buildTree(tokens, pos, false, closed);
    rewriteSequence(tree);
    statement.text = render(tree);
  }
  return statement;
}

template <size_t N>
bool isListed(const std::string& word, const char* const (&list)[N]) {
  for (const char* entry : list) {
    if (word == entry) {
      return true;
    }
  }
  return false;
}

const char* const kOnOffOptions[] = {"ANSI_NULLS",
                                     "ANSI_WARNINGS",
                                     "ANSI_PADDING",
                                     "ANSI_NULL_DFLT_ON",
                                     "CONCAT_NULL_YIELDS_NULL",
                                     "QUOTED_IDENTIFIER",
                                     "ARITHABORT",
                                     "IMPLICIT_TRANSACTIONS",
                                     "NUMERIC_ROUNDABORT",
                                     "CURSOR_CLOSE_ON_COMMIT",
                                     "XACT_ABORT",
                                     "NOCOUNT"};
const char* const kNumberOptions[] = {"TEXTSIZE", "DATEFIRST", "LOCK_TIMEOUT"};
const char* const kNameOptions[] = {"DATEFORMAT", "LANGUAGE"};
const char* const kIsolationLevels[] = {"READ UNCOMMITTED", "READ COMMITTED", "REPEATABLE READ",
                                        "SNAPSHOT", "SERIALIZABLE"};

int incorrectSyntaxNear(const std::vector<Token>& solid, size_t at, std::string& message) {
  message = "Incorrect syntax near '" + solid[std::min(at, solid.size() - 1)].text + "'.";
  return 102;
}

// SET TRANSACTION ISOLATION LEVEL level, from the word after TRANSACTION.
int readIsolationLevel(const std::vector<Token>& solid, std::vector<SessionOption>& options,
                       std::string& message) {
  std::string words;
  for (size_t i = 2; i < solid.size(); ++i) {
    if (solid[i].type != TokenType::kWord) {
      return incorrectSyntaxNear(solid, i, message);
    }
    // Appended, not joined with "+": see render().
    words.append(i > 2 ? " " : "").append(upperCase(solid[i].text));
  }
  const std::string prefix = "ISOLATION LEVEL ";
  if (words.compare(0, prefix.size(), prefix) != 0 ||
      !isListed(words.substr(prefix.size()), kIsolationLevels)) {
    return incorrectSyntaxNear(solid, 2, message);
  }
  options.push_back({"TRANSACTION ISOLATION LEVEL", words.substr(prefix.size())});
  return 0;
}

// SET option[, option...] ON|OFF
int readOnOffOptions(const std::vector<Token>& solid, std::vector<SessionOption>& options,
                     std::string& message) {
  std::vector<std::string> names;
  size_t i = 1;
  for (;;) {
    if (i >= solid.size() || solid[i].type != TokenType::kWord) {
      return incorrectSyntaxNear(solid, i, message);
    }
    if (!isListed(upperCase(solid[i].text), kOnOffOptions)) {
      message = "'" + solid[i].text + "' is not a recognized SET option.";
      return 195;
    }
    names.push_back(upperCase(solid[i].text));
    if (++i < solid.size() && solid[i].type == TokenType::kComma) {
      ++i;
      continue;
    }
    break;
  }
  if (i + 1 != solid.size() || (!isWordToken(solid[i], "on") && !isWordToken(solid[i], "off"))) {
    return incorrectSyntaxNear(solid, i, message);
  }
  for (const std::string& name : names) {
    options.push_back({name, upperCase(solid[i].text)});
  }
  return 0;
}

}  // namespace

int readSetStatement(const std::string& text, std::vector<SessionOption>& options,
                     std::string& message) {
  std::vector<Token> solid;
  for (const Token& token : tokenize(text)) {
    if (token.type != TokenType::kSpace) {
      solid.push_back(token);
    }
  }
  options.clear();
  if (solid.size() < 2 || solid[1].type != TokenType::kWord) {
    return incorrectSyntaxNear(solid, 1, message);
  }
  std::string name = upperCase(solid[1].text);
  if (isListed(name, kNumberOptions)) {
    size_t at = solid.size() > 2 && solid[2].text == "-" ? 3 : 2;
    if (at + 1 != solid.size() || solid[at].type != TokenType::kNumber) {
      return incorrectSyntaxNear(solid, at, message);
    }
    std::string value = at == 3 ? "-" : "";
    options.push_back({name, value.append(solid[at].text)});
    return 0;
  }
  if (isListed(name, kNameOptions)) {
    if (solid.size() != 3 || solid[2].type == TokenType::kNumber ||
        solid[2].type == TokenType::kOperator) {
      return incorrectSyntaxNear(solid, 2, message);
    }
    options.push_back({name, upperCase(solid[2].text)});
    return 0;
  }
  if (name == "TRANSACTION") {
    return readIsolationLevel(solid, options, message);
  }
  return readOnOffOptions(solid, options, message);
}

int readTransactionStatement(const std::string& text, std::string& message) {
  std::vector<Token> solid;
  for (const Token& token : tokenize(text)) {
    if (token.type != TokenType::kSpace) {
      solid.push_back(token);
    }
  }
  if (solid.empty()) {
    message = "Incorrect syntax near ''.";
    return 102;
  }
  bool begin = isWordToken(solid[0], "begin");
  size_t at = 1;
  bool transaction = at < solid.size() &&
                     (isWordToken(solid[at], "tran") || isWordToken(solid[at], "transaction"));
  bool work = !begin && at < solid.size() && isWordToken(solid[at], "work");
  if (begin && !transaction) {
    return incorrectSyntaxNear(solid, at < solid.size() ? at : 0, message);
  }
  at += transaction || work ? 1 : 0;
  bool named = transaction && at < solid.size() &&
               (solid[at].type == TokenType::kWord || solid[at].type == TokenType::kQuotedName);
  at += named ? 1 : 0;
  if (at != solid.size()) {
    return incorrectSyntaxNear(solid, at, message);
  }
  return 0;
}

// T-SQL needs no ';' between statements: a statement keyword of the top
// level starts the next one unless it continues the one before. The blanks
// before it stay with the statement before.
std::vector<TranslatedStatement> translateSqlServerText(const std::string& sql) {
  std::vector<TranslatedStatement> statements;
  std::vector<Token> tokens = tokenize(sql);
  std::vector<Token> current;
  StatementScan scan;
  std::vector<std::vector<Token>> conditions;  // of the IFs before the statement
  auto finish = [&]() {
    if (!scan.lead.empty()) {
      statements.push_back(translateStatement(current, kindOf(current, scan)));
      if (!conditions.empty()) {
        statements.back().condition = conditionQuery(conditions);
      }
    }
    conditions.clear();
    current.clear();
    scan = StatementScan();
  };
  int depth = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    depth -= token.type == TokenType::kClose ? 1 : 0;
    bool topLevel = depth <= 0;
    depth += token.type == TokenType::kOpen ? 1 : 0;
    if (topLevel && token.type == TokenType::kSemicolon) {
      finish();
      continue;
    }
    if (topLevel && !scan.lead.empty()) {
      std::string keyword = statementKeyword(tokens, i, scan.lastSolid);
      if (!keyword.empty() && scan.lead == "IF") {
        conditions.push_back(std::move(current));  // the statement it guards starts here
        current.clear();
        scan = StatementScan();
      } else if (!keyword.empty() && !continuesStatement(scan, keyword)) {
        finish();
      }
    }
    if (topLevel) {
      scanToken(scan, tokens, i);
    }
    current.push_back(token);
  }
  finish();
  return statements;
}
