// The lattice file parser: turns a lattice file and a genome into the machine cell tree. The
// whole file runs through a Cish environment (code between '#' marks, a newline ends code);
// the plain text it emits is split into statements (parsetextstream), and each statement is
// parsed by parsecellformula (formats, elements with units and free parameters, composites,
// lists, reversals, mirrors, repetitions, parameters, control commands). A Parser owns every
// cell it makes, its formats and its Cish environment; machinecell returns an independent copy
// of the machine. Called once per simulated design (simulation set-up, file lists, -parse);
// statement look-ups by name go through a hash index, so parse time grows linearly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/lset.h"
#include "language/cish.h"
#include "lattice/cell.h"
#include "language/genome.h"

// The program version that "!MINVER" compares against (the number in ORDAX_VERSION).
constexpr float PARSER_PROGRAMVERSION = 4.47f;

// An element format: name 0 is the element type word, names 1 … n−1 the attribute names in
// positional order. The unit of name 0 is the auto-format prefix (elements whose name begins
// with it take this format); the unit of any other name is that field's default unit. An
// empty unit text means none.
struct ParserFormat {
  std::vector<std::string> names;
  std::vector<std::string> units;  // parallel to names; "" = none
  int n() const { return static_cast<int>(names.size()); }
};

// Bounds that keep a broken or hostile lattice from exhausting the machine. Reaching one
// reports "[FATAL] Lattice '<name>' ..." and the parse yields no machine. The Cish bounds
// (loop iterations, generated text) are passed to the lattice's environment; 0 keeps the
// environment's defaults (see language/cish.h).
struct ParserLimits {
  int maxdepth = 200;            // statements nested inside statements (parentheses, lists,
                                 // reversals, mirrors, repetitions)
  uint32_t maxcells = 200000;    // cells one lattice may make, and children of one composite
  long long cishiterations = 0;  // loop iterations of the lattice's code
  long long cishoutput = 0;      // bytes of text the lattice's code may generate
};
extern ParserLimits parserlimits;

// What the parser writes besides the machine. With `debuglogs` (the program's -parse switch)
// every parse writes the parse log `logname` ("PARSEreport.log" when empty), appends each text
// the lattice's code emits to "parser.parsetextstream.log", and its Cish environment writes
// the token and tree logs (Cish::debuglogs). The defaults write nothing. Set before parsing.
struct ParseOptions {
  bool debuglogs = false;
  std::string logname = "PARSEreport.log";
};
extern ParseOptions parseoptions;

// Cell names compare without letter case: hashing and equality for the parser's name index,
// usable with a plain text (no copy) as the key looked for.
struct ParserNameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const;
};
struct ParserNameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

struct Parser {
  LSet cells;               // Cell*: every cell the parser made, in order of making; owned
  Cell* machine;            // the cell of the last statement that yielded one, or none
  ParserFormat format;      // the current format
  std::vector<ParserFormat> autoformats;  // formats chosen by element-name prefix
  Cish* cish;               // owned; made by Parser_new
  Genome* genome;           // supplies free parameters; not owned (see owngenome)
  std::string pending;      // text of a statement not yet complete
  char listinprogress;      // a ',' or ':' outside braces and brackets was seen
  char insidebraces;        // a '{' was seen
  char insidebrackets;      // a '[' was seen and no ']' since

  // Bookkeeping, not part of the language's state.
  std::string name;            // the lattice name, for messages
  std::vector<Cell*> retired;  // cells taken out of the list by a redefinition; they may still
                               // be children of composites, so they are freed with the parser
  // name (without case) → the list's cells of that name, in list order. A listed cell keeps its
  // place in the list's order (a serial number from 1) in the first word of its run-time data,
  // the parser's scratch word; 0 = not listed.
  std::unordered_map<std::string, std::vector<Cell*>, ParserNameHash, ParserNameEqual> byname;
  uint32_t nextserial;
  int depth;             // nesting of parsecellformula calls
  bool stopped;          // a bound was reached: the rest of the lattice is skipped
  // While a list's items are looked up: the "Cannot parse" reports held back until every
  // unknown item has been named by its warning (none outside lists).
  std::vector<std::string>* held = nullptr;
  Genome owngenome;      // used when machinecell is given no genome
};

// ---- the lattice ----

// Reads the lattice file of `name` (latticefilepath: "lattices/<name>.txt", letter case
// ignored) and returns machinecell(text, genome, name, verbose, parameters); the machine keeps
// the name as given. A file that cannot be read reports
// "[FATAL] Machine lattice file lattices/<name>.txt not found" and returns none (and
// *parameters, when given, is none).
Cell* machinecellfromfile(const char* name, Genome* genome, char verbose, Cell** parameters);

// Parses a lattice text with the genome's values. Returns the machine cell, a new tree owned
// by the caller (free with Cell_freeref(c, 0)), or none after a version failure, when no
// machine results, or when the lattice's code or the parser reached a bound (each reported).
// When `parameters` is given it receives the parameters cell (owned by the caller; none when
// no machine is returned). The genome gains every gene that the lattice asks for and lacks; a
// none genome is replaced by an empty one that lives only for this call. `name` (none counts
// as "lattice") names the result and the messages. `text` none counts as empty.
Cell* machinecell(const char* text, Genome* genome, const char* name, char verbose,
                  Cell** parameters);

// ---- parser records ----

Parser* Parser_new();       // a parser with an empty list and a new Cish environment
void Parser_free(Parser* p);  // frees every cell it made (shallow), the formats, the environment
// The parser that the Cish callbacks reach while machinecell runs (none outside it).
Parser* Parser_current();

// The text callback of the lattice's environment: splits the piece into statements (a newline
// not after '\' ends one unless a list, braces or brackets are open; ';' ends one when nothing
// is open or a list is; '}' ends a format) and parses each complete one; the machine follows
// the last statement that yields a cell. Returns 1 (abort) after a version failure or a parser
// bound, else 0. Without a current parser it reports "[FATAL] No parser set in
// parsetextstream" and returns 0.
int parsetextstream(const char* text);
// The variable-changed callback: a number assigned to a variable "cell.field" sets that
// attribute of the latest cell of that name (without case). Returns 0.
int parsetextstream_modifiedcells(CishVar* var);

// Parses one statement; returns its cell (owned by the parser) or none. In look-up mode only
// existing cells and cells built from them (lists, reversals, mirrors, repetitions) are found;
// element definitions are refused. Messages are those of the statement forms (see parser.cpp).
Cell* parsecellformula(Parser* p, const char* statement, char lookuponly);

// The standard form of a statement: a '\' before a line feed dropped, tabs made blanks, and a
// white-space byte (1 … 32) kept only between a letter, digit, quote or ']' (before it in the
// result) and a letter, digit, degree sign, quote, '[', '.', '-' or '+' (after it in the
// input); then trailing ';' removed. "a , b" becomes "a,b" while "S1 -2" keeps its blank.
std::string parser_standardform(const char* statement);

// The last cell of the list with that name (without case), or none / −1.
Cell* Parser_lookupcell(const Parser* p, const char* name);
int Parser_lookupcellindex(const Parser* p, const char* name);
// Replaces *format by a copy of the last auto-format whose prefix begins `name` (without
// case); leaves it unchanged when none does. Returns 1 when it replaced it.
int Parser_getautoformat(const Parser* p, const char* name, ParserFormat* format);
// A new component "ParametersCell" of type "Parameters" holding, for each "Parameter" cell of
// the list, an attribute named after it with a copy of its "Value" (the latest cell of a name
// wins; a cell without "Value" gives nothing). Owned by the caller.
Cell* Parser_parameterscell(const Parser* p);

// ---- names ----

// The gene name of a free parameter: the cell name for the field "Value"; otherwise the cell
// name + the shortest beginning of the field that no other field of the format shares
// ("Solenoid Radius Field Length": S1F, S1R, S1L); the whole field when none is short enough
// or the field is not in the format.
std::string getgenename(const char* cell, const char* field, const ParserFormat& format);
// The Cish variable of a field: the cell name for "Value", else cell + "." + field.
std::string getcvarname(const char* cell, const char* field);

// ---- formats ----

// A format from its text: fields separated by white space, each a run of letters, digits,
// '-' and '_', optionally followed (after white space) by '(' or '/' and a unit running to
// white space or ')'. "Solenoid(S) Radius/m Field(T) Length(m)". Other characters are skipped.
ParserFormat ParserFormat_new(const char* text);
ParserFormat ParserFormat_copy(const ParserFormat& f);
void ParserFormat_free(ParserFormat* f);  // empties it
// The fields as the parse log shows them: "Solenoid(S) Radius Field(T) Length(m)".
std::string ParserFormat_text(const ParserFormat& f);
// Appends "ParserFormat {<fields>}" and a line end to "tech/log.txt".
void ParserFormat_DEBUG(const ParserFormat& f);
