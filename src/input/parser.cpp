static const char KORVA_SOURCE[] = "src/parser";

#include "parser.h"

#include "digest.h"
#include "log.h"
#include "progress.h"
#include "spacemanager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <sstream>

namespace {

const char* const KEYWORDS[] = {"vorn", "window", "medium", "conductor", "block",
                                "basepoint", "name", "v1", "v2", "hvector",
                                "tint", "diel", "task", "capacitance"};
const int KEYWORD_COUNT = sizeof(KEYWORDS) / sizeof(KEYWORDS[0]);
const int MAX_STACK_DEPTH = 10000;

}  // namespace

// One parse: the scanner and parser state, filling the deck it was given.
class DeckReader {
public:
    explicit DeckReader(DeckLists& d, std::istream& in, bool need_task)
        : solver_space(d.window), dictionary(d.conductors), mediums(d.media_by_name), master_name(d.master),
          owned_boxes(d.store->boxes), box_lines(d.store->lines), owned_media(d.store->media),
          task_optional(!need_task), deck_in(&in)
    {
    }

    Cuboid*& solver_space;
    std::map<std::string, std::vector<Cuboid*>>& dictionary;
    std::map<std::string, std::vector<Medium*>>& mediums;
    std::string& master_name;
    std::deque<Cuboid>& owned_boxes;
    std::deque<int>& box_lines;
    std::deque<Medium>& owned_media;
    // Set when the run names its masters itself: a deck without a task
    // statement is then complete.
    bool task_optional;
    int miline = 1;
    DeckValue yylval;
    std::istream* deck_in;

    // Checks the parsed deck, applies the window default and builds the lists.
    int Finish(int result, DeckLists& lists);
    int DeckLineOf(const Cuboid* box) const
    {
        for (size_t i = 0; i < owned_boxes.size(); ++i)
            if (&owned_boxes[i] == box)
                return box_lines[i];
        return 0;
    }
    bool MasterMissing()
    {
        return !dictionary.count(master_name) && !(task_optional && master_name.empty());
    }
    int lookahead = -1;  // -1: none read
    int lookahead_line = 0;
    int depth = 1;       // states on the virtual stack, the initial one included
    long long blocks_read = 0;


// ---------------------------------------------------------------- scanner

std::string name;  // last identifier scanned
std::string number_text;  // characters of the last number, kept for their storage


bool IsLetter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool isSpecLetter(int c) { return c == ':'; }
bool IsNameChar(int c) { return IsLetter(c) || IsDigit(c) || c == '_' || isSpecLetter(c); }

bool SameIgnoringCase(const std::string& text, const char* keyword)
{
    size_t i = 0;
    for (; i < text.size() && keyword[i]; ++i) {
        char a = text[i], b = keyword[i];
        if (a >= 'A' && a <= 'Z')
            a = (char)(a - 'A' + 'a');
        if (a != b)
            return false;
    }
    return i == text.size() && keyword[i] == '\0';
}

// Skips the rest of a comment whose opening "/x" has been read. Returns
// false when the input ends inside a block comment.
bool SkipComment(bool block)
{
    std::streambuf& in = *deck_in->rdbuf();
    int prev = 0;
    for (;;) {
        int c = in.sbumpc();
        if (c == EOF)
            return !block;
        if (c == '\n') {
            ++miline;
            if (!block)
                return true;
        }
        // prev starts at 0 so that "/*/" does not close the comment.
        if (block && prev == '*' && c == '/')
            return true;
        prev = c;
    }
}

int ScanIdentifier(int first)
{
    std::streambuf& in = *deck_in->rdbuf();
    std::string text(1, (char)first);
    int c;
    while ((c = in.sbumpc()) != EOF && IsNameChar(c))
        text += (char)c;
    if (c != EOF)
        in.sungetc();
    for (int k = 0; k < KEYWORD_COUNT; ++k) {
        if (SameIgnoringCase(text, KEYWORDS[k])) {
            yylval.ival = k;
            return VORN + k;
        }
    }
    name = text;
    yylval.ival = 1;
    return dictionary.count(name) ? CONDNAME : NEWNAME;
}

// Takes what reading a double from the stream would take (digits, one
// point, an exponent mark with an optional sign, in that order) and
// converts it the same way: text that does not convert whole, or a value
// beyond the range of a double, is a bad number.
int ScanNumber()
{
    std::streambuf& in = *deck_in->rdbuf();
    std::string& text = number_text;
    text.clear();
    bool point = false, exponent = false;
    int c = in.sgetc();
    for (;;) {
        if (IsDigit(c)) {
            text += (char)c;
        } else if (c == '.' && !point && !exponent) {
            point = true;
            text += '.';
        } else if ((c == 'e' || c == 'E') && !exponent) {
            exponent = true;
            text += 'e';
            c = in.snextc();
            if (c != '+' && c != '-')
                continue;
            text += (char)c;
        } else {
            break;
        }
        c = in.snextc();
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || std::isinf(v)) {
        yylval.number = 0.0;
        return BADNUMBER;
    }
    yylval.number = v;
    return NUMBER;
}


int yylex()
{
    // The stream buffer directly: the stream's own get() costs a guard
    // object per character.
    std::streambuf& in = *deck_in->rdbuf();
    for (;;) {
        int c = in.sbumpc();
        if (c == EOF)
            return 0;
        if (c == '\n') {
            ++miline;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r')
            continue;
        if (c == '/') {
            int next = in.sbumpc();
            if (next == '/' || next == '*') {
                if (!SkipComment(next == '*'))
                    return 0;
                continue;
            }
            if (next != EOF)
                in.sungetc();
            return '/';
        }
        if (IsLetter(c) || c == '_')
            return ScanIdentifier(c);
        if (IsDigit(c)) {
            in.sungetc();
            return ScanNumber();
        }
        return c;
    }
}

// ----------------------------------------------------------------- parser



struct ParseAbort {
    int result;
};

// A box that failed a check while parsed, and what it was; the checks after
// the parse report those the run keeps.
struct BoxRecord {
    const Cuboid* box;
    int line;
    std::string what;  // e.g. block "b1" of conductor "net1"
};

struct DielRecord {
    std::string medium;
    int line;
    double diel;
};

std::vector<std::string> name_stack;
std::vector<Cuboid*> current_blocks;  // blocks of the statement being parsed
std::vector<BoxRecord> box_records;
std::vector<DielRecord> diel_records;

bool IsFinite(const Cuboid& b)
{
    return std::isfinite(b.x0) && std::isfinite(b.y0) && std::isfinite(b.z0) &&
           std::isfinite(b.x1) && std::isfinite(b.y1) && std::isfinite(b.z1);
}

bool IsProper(const Cuboid& b)
{
    return b.x0 < b.x1 && b.y0 < b.y1 && b.z0 < b.z1;
}

bool Sound(const Cuboid& b)
{
    return IsFinite(b) && IsProper(b);
}

Vector3 Sum(const Vector3& a, const Vector3& b)
{
    return Vector3(a.x + b.x, a.y + b.y, a.z + b.z);
}

// Recursive descent over the deck grammar. It shifts and reduces in the
// order an LALR(1) parser of the same grammar would, and counts the symbols
// such a parser would hold on its stack, so the depth limit trips on the
// same decks. Expressions use an explicit stack so that nesting depth does
// not become native recursion.
    int Parse()
    {
        try {
            ParseDeck();
        } catch (const ParseAbort& abort) {
            return abort.result;
        }
        return 0;
    }


    int Peek()
    {
        if (lookahead < 0) {
            lookahead = yylex();
            lookahead_line = miline;
        }
        return lookahead;
    }

    void Fail(const char* message, int result)
    {
        std::istream& in = *deck_in;
        in.clear();  // a stream at its end reports no position otherwise
        // tellg fails (-1) on a pipe and can lag behind on special files.
        long long pos = std::max(0LL, (long long)in.tellg());
        Log::perror("Line %d CharLocate %d : %s\n", miline, (int)pos, message);
        throw ParseAbort{result};
    }

    void Push()
    {
        if (++depth >= MAX_STACK_DEPTH)
            Fail("parser stack overflow", 2);
    }

    void Shift()
    {
        lookahead = -1;
        Push();
    }

    void Reduce(int length)
    {
        depth -= length;
        Push();
    }

    void Expect(int token)
    {
        if (Peek() != token)
            Fail("syntax error", 1);
        Shift();
    }

    // '[' '/' keyword ']'
    void ExpectClosingTag(int keyword)
    {
        Expect('[');
        Expect('/');
        Expect(keyword);
        Expect(']');
    }

    void ParseDeck()
    {
        Expect('<');
        Expect(VORN);
        Expect('>');
        Reduce(3);  // header
        Reduce(0);  // empty statement-list
        for (;;) {
            int t = Peek();
            if (t == '[')
                break;
            if (t != '<')
                Fail("syntax error", 1);
            ParseStatement();
            Reduce(1);  // statement
            Reduce(2);  // statement-list statement
        }
        ExpectClosingTag(VORN);
        Reduce(4);  // trailer
        if (MasterMissing())
            Log::perror("master conductor doesn't exist\n");
        Reduce(3);  // deck
        FATAL_CHECK(depth == 2);
        if (Peek() != 0)
            Fail("syntax error", 1);
    }

    void ParseStatement()
    {
        int line = lookahead_line;
        Shift();  // '<'
        switch (Peek()) {
        case WINDOW: ParseWindow(line); break;
        case CONDUCTOR: ParseConductor(); break;
        case MEDIUM: ParseMedium(line); break;
        case TASK: ParseTask(); break;
        default: Fail("syntax error", 1);
        }
    }

    void ParseWindow(int line)
    {
        Shift();
        Expect('>');
        Expect(V1);
        Vector3 v1 = ParseVector();
        Expect(V2);
        Vector3 v2 = ParseVector();
        Reduce(4);  // window-body
        ExpectClosingTag(WINDOW);
        Reduce(8);
        solver_space = NewBox(v1, v2, line);
        Record(solver_space, line, "window");
    }

    void ParseConductor()
    {
        Shift();
        Expect('>');
        ParseNameClause();
        current_blocks.clear();
        ParseBlockList("conductor");
        ExpectClosingTag(CONDUCTOR);
        Reduce(9);
        // A later statement of an existing conductor must not change it.
        dictionary.emplace(name_stack.back(), current_blocks);
        name_stack.pop_back();
    }

    void ParseMedium(int line)
    {
        Shift();
        Expect('>');
        ParseNameClause();
        current_blocks.clear();
        ParseBlockList("medium");
        Expect(DIEL);
        double diel = ParseExpression();
        Reduce(2);  // diel-clause
        ExpectClosingTag(MEDIUM);
        Reduce(10);
        std::vector<Medium*> media;
        for (Cuboid* block : current_blocks) {
            owned_media.emplace_back(block, diel);
            media.push_back(&owned_media.back());
        }
        mediums[name_stack.back()] = media;
        diel_records.push_back({name_stack.back(), line, diel});
        name_stack.pop_back();
    }

    void ParseTask()
    {
        Shift();
        Expect('>');
        Expect('<');
        Expect(CAPACITANCE);
        Expect('>');
        Expect(CONDNAME);
        std::string master = name;
        ExpectClosingTag(CAPACITANCE);
        Reduce(8);  // capacitance-task
        master_name = master;
        ExpectClosingTag(TASK);
        Reduce(8);
    }

    void ParseNameClause()
    {
        Expect(NAME);
        int t = Peek();
        if (t != NEWNAME && t != CONDNAME)
            Fail("syntax error", 1);
        Shift();
        Reduce(1);  // identifier
        Reduce(2);  // name-clause
        name_stack.push_back(name);
    }

    void ParseBlockList(const char* owner_kind)
    {
        ParseBlock(owner_kind);
        Reduce(1);
        while (Peek() == '<') {
            ParseBlock(owner_kind);
            Reduce(2);
        }
    }

    void ParseBlock(const char* owner_kind)
    {
        Peek();
        int line = lookahead_line;
        Expect('<');
        Expect(BLOCK);
        Expect('>');
        ParseNameClause();
        Expect(BASEPOINT);
        Vector3 b = ParseVector();
        Expect(V1);
        Vector3 a = ParseVector();
        Expect(V2);
        Vector3 c = ParseVector();
        Expect(HVECTOR);
        Vector3 h = ParseVector();
        Reduce(8);  // geometry
        if (Peek() == TINT) {
            Shift();
            ParseVector();  // parsed, not used
            Reduce(2);
        } else {
            Reduce(0);
        }
        ExpectClosingTag(BLOCK);
        Reduce(10);
        Cuboid* box = NewBox(b, Sum(Sum(Sum(a, b), c), h), line);
        current_blocks.push_back(box);
        Progress::BlocksRead(++blocks_read);
        std::string block_name = name_stack.back();
        name_stack.pop_back();
        if (!Sound(*box))
            Record(box, line, "block \"" + block_name + "\" of " + owner_kind + " \"" +
                                  name_stack.back() + "\"");
    }

    Cuboid* NewBox(const Vector3& lo, const Vector3& hi, int line)
    {
        owned_boxes.emplace_back(0, lo.x, lo.y, lo.z, hi.x, hi.y, hi.z);
        box_lines.push_back(line);
        return &owned_boxes.back();
    }

    void Record(const Cuboid* box, int line, const std::string& what)
    {
        if (!Sound(*box))
            box_records.push_back({box, line, what});
    }

    Vector3 ParseVector()
    {
        Expect('(');
        double x = ParseExpression();
        Expect(',');
        double y = ParseExpression();
        Expect(',');
        double z = ParseExpression();
        Expect(')');
        Reduce(7);
        return Vector3(x, y, z);
    }

    // Pending left parts of an expression, innermost last.
    enum PendingKind { OPEN_PAREN, NEGATE, TIMES, PLUS, MINUS };
    struct Pending {
        PendingKind kind;
        double left;
    };

    // expression: term | expression '+' expression | expression '-' expression
    // term: NUMBER | '(' expression ')' | term '*' term | '-' term
    // '+' '-' left-associative, '*' left-associative and tighter, unary '-'
    // tighter still.
    double ParseExpression()
    {
        std::vector<Pending> pending;
        for (;;) {
            double value = ParseOperand(pending);
            for (;;) {
                // value is a term
                while (!pending.empty() && pending.back().kind == NEGATE) {
                    pending.pop_back();
                    value = -value;
                    Reduce(2);
                }
                if (!pending.empty() && pending.back().kind == TIMES) {
                    value = pending.back().left * value;
                    pending.pop_back();
                    Reduce(3);
                }
                if (Peek() == '*') {
                    Shift();
                    pending.push_back({TIMES, value});
                    break;
                }
                Reduce(1);  // expression: term
                if (!pending.empty() && (pending.back().kind == PLUS || pending.back().kind == MINUS)) {
                    double left = pending.back().left;
                    value = pending.back().kind == PLUS ? left + value : left - value;
                    pending.pop_back();
                    Reduce(3);
                }
                int t = Peek();
                if (t == '+' || t == '-') {
                    Shift();
                    pending.push_back({t == '+' ? PLUS : MINUS, value});
                    break;
                }
                if (pending.empty())
                    return value;
                FATAL_CHECK(pending.back().kind == OPEN_PAREN);
                Expect(')');
                pending.pop_back();
                Reduce(3);  // term: '(' expression ')'
            }
        }
    }

    // Shifts any '(' and unary '-' that open an operand, then its number.
    double ParseOperand(std::vector<Pending>& pending)
    {
        for (;;) {
            int t = Peek();
            if (t == '(' || t == '-') {
                Shift();
                pending.push_back({t == '(' ? OPEN_PAREN : NEGATE, 0.0});
                continue;
            }
            if (t != NUMBER)
                Fail("syntax error", 1);
            double value = yylval.number;
            Shift();
            Reduce(1);  // term: NUMBER
            return value;
        }
    }

// ------------------------------------------------------------- after parse

// Boxes the run takes: the window and the blocks of the conductors and
// media that the maps kept.
std::set<const Cuboid*> KeptBoxes()
{
    std::set<const Cuboid*> kept;
    if (solver_space)
        kept.insert(solver_space);
    for (const auto& conductor : dictionary)
        kept.insert(conductor.second.begin(), conductor.second.end());
    for (const auto& medium : mediums)
        for (const Medium* m : medium.second)
            kept.insert(m->block);
    return kept;
}

// Every algorithm downstream assumes proper boxes and a positive
// permittivity, so a deck that breaks this is refused as a whole. A replaced
// window or medium and a repeated conductor are dropped silently, so their
// values cannot harm the run and are not looked at.
bool ValidateDeck()
{
    bool ok = true;
    const std::set<const Cuboid*> kept = box_records.empty() ? std::set<const Cuboid*>() : KeptBoxes();
    for (const BoxRecord& r : box_records) {
        if (!kept.count(r.box))
            continue;
        if (!IsFinite(*r.box)) {
            Log::perror("Line %d : %s has a coordinate that is not a finite number\n", r.line,
                        r.what.c_str());
            ok = false;
        } else if (!IsProper(*r.box)) {
            Log::perror("Line %d : %s has its far corner (%g,%g,%g) not above its lower corner "
                        "(%g,%g,%g) on every axis\n",
                        r.line, r.what.c_str(), r.box->x1, r.box->y1, r.box->z1, r.box->x0,
                        r.box->y0, r.box->z0);
            ok = false;
        }
    }
    std::map<std::string, size_t> last_record;
    for (size_t i = 0; i < diel_records.size(); ++i)
        last_record[diel_records[i].medium] = i;
    for (size_t i = 0; i < diel_records.size(); ++i) {
        const DielRecord& r = diel_records[i];
        if (last_record[r.medium] != i)
            continue;
        if (!(std::isfinite(r.diel) && r.diel > 0)) {
            Log::perror("Line %d : medium \"%s\" has permittivity %g, which is not a finite "
                        "number > 0\n",
                        r.line, r.medium.c_str(), r.diel);
            ok = false;
        }
    }
    return ok;
}

// The stack of layers has a permittivity at every height only when the
// bands neither leave a gap in z nor disagree where they overlap.
bool CheckMediaStack()
{
    struct Slab {
        const std::string* name;
        const Medium* m;
    };
    std::vector<Slab> slabs;
    const std::string* body = nullptr;
    for (const auto& medium : mediums)
        for (const Medium* m : medium.second) {
            if (SpansWindow(*m->block, solver_space))
                slabs.push_back({&medium.first, m});
            else if (!body)
                body = &medium.first;
        }
    // Only bands fill the window: a body holds where it lies and leaves the
    // rest to them, so bodies without any band leave points unset.
    if (body && slabs.empty()) {
        Log::perror("medium \"%s\" is a dielectric body (it does not span the window in x and y), and no "
                    "medium spans the window: the rest of the window has no permittivity\n",
                    body->c_str());
        return false;
    }
    std::stable_sort(slabs.begin(), slabs.end(),
                     [](const Slab& a, const Slab& b) { return a.m->block->z0 < b.m->block->z0; });
    const double TOL = 1e-12;
    for (size_t i = 0; i < slabs.size(); ++i)
        for (size_t j = i + 1; j < slabs.size(); ++j) {
            const Medium &a = *slabs[i].m, &b = *slabs[j].m;
            double low = b.block->z0, high = std::min(a.block->z1, b.block->z1);
            if (high - low > TOL && std::fabs(a.diel - b.diel) > TOL) {
                Log::perror("media \"%s\" and \"%s\" overlap between z = %g and z = %g with "
                            "different permittivities (%g and %g)\n",
                            slabs[i].name->c_str(), slabs[j].name->c_str(), low, high, a.diel, b.diel);
                return false;
            }
        }
    // Sweep upwards: `top` is the highest z covered so far.
    for (size_t i = 1; i < slabs.size(); ++i) {
        size_t below = 0;
        for (size_t k = 1; k < i; ++k)
            if (slabs[k].m->block->z1 > slabs[below].m->block->z1)
                below = k;
        const double top = slabs[below].m->block->z1, next = slabs[i].m->block->z0;
        if (next - top > TOL) {
            Log::perror("media \"%s\" and \"%s\" leave a gap between z = %g and z = %g that no "
                        "medium fills\n",
                        slabs[below].name->c_str(), slabs[i].name->c_str(), top, next);
            return false;
        }
    }
    return true;
}

// Which other unit would bring a length that the grid cannot resolve to a
// feature of interconnect, for the question the message ends with.
const char* UnitOfTinyLength(double t)
{
    if (t * 1e3 >= GRID_RESOLVED)
        return "is the deck in millimetres?";
    if (t * 1e6 >= GRID_RESOLVED)
        return "is the deck in metres?";
    return "is the deck in another unit?";
}

std::string WhereBlock(const std::string& conductor, const Cuboid* b)
{
    const int line = DeckLineOf(b);
    return (line > 0 ? "Line " + std::to_string(line) + " : " : std::string()) + "conductor \"" + conductor +
           "\"";
}

double Thinnest(const Cuboid& b)
{
    return std::min(b.x1 - b.x0, std::min(b.y1 - b.y0, b.z1 - b.z0));
}

// Lengths are micrometres on a grid of 5000 cells per micrometre, held in
// 32-bit integers. A deck that the grid cannot hold is refused: a conductor
// thinner than ten cells (0.002 um) or a window (grown to five times the
// conductors' span around them, as the run grows it) reaching beyond
// GRID_REACH. Geometry the grid holds but interconnect hardly has -- a
// conductor under 0.01 um, conductors spanning more than 2 mm, or no
// conductor thinner than 10 um -- is run with a warning, since it is what a
// deck in another unit looks like.
bool CheckScale()
{
    const Cuboid* thinnest = nullptr;
    const std::string* thinnest_name = nullptr;
    std::vector<const Cuboid*> all;
    for (const auto& conductor : dictionary)
        for (const Cuboid* b : conductor.second) {
            all.push_back(b);
            if (!thinnest || Thinnest(*b) < Thinnest(*thinnest)) {
                thinnest = b;
                thinnest_name = &conductor.first;
            }
        }
    if (!thinnest)
        return true;
    const double t = Thinnest(*thinnest);
    if (t < GRID_RESOLVED) {
        Log::perror("%s is %g um thick: lengths are read in micrometres, and the walks' grid (%g um) resolves "
                    "conductors from %g um on: %s\n",
                    WhereBlock(*thinnest_name, thinnest).c_str(), t, 1.0 / GRID_SCALE, GRID_RESOLVED,
                    UnitOfTinyLength(t));
        return false;
    }
    auto reach = [](const Cuboid& b) {
        return std::max({std::fabs(b.x0), std::fabs(b.y0), std::fabs(b.z0), std::fabs(b.x1),
                         std::fabs(b.y1), std::fabs(b.z1)});
    };
    Cuboid grown = *all[0];
    const double span = Spacemanager::EnlargeWindow(all, grown) / 5.0;
    if (!Spacemanager::FitsGrid(grown)) {
        Log::perror("the conductors span %g um and, with the room the walks take around them (five times "
                    "that span), reach %g um from the origin: lengths are read in micrometres, and the "
                    "walks' grid holds %g um at most: is the deck in nanometres?\n",
                    span, reach(grown), GRID_REACH);
        return false;
    }
    if (solver_space && !Spacemanager::FitsGrid(*solver_space)) {
        Log::perror("Line %d : the window reaches %g um from the origin: lengths are read in micrometres, "
                    "and the walks' grid holds %g um at most\n",
                    DeckLineOf(solver_space), reach(*solver_space), GRID_REACH);
        return false;
    }
    if (t < 0.01)
        Log::pwarning("Warning: %s is only %g um thick, %.0f cells of the walks' grid: lengths are read in "
                      "micrometres; %s\n",
                      WhereBlock(*thinnest_name, thinnest).c_str(), t, t * GRID_SCALE, UnitOfTinyLength(t));
    if (span > 2000.0)
        Log::pwarning("Warning: the conductors span %g um: lengths are read in micrometres; is the deck in "
                      "nanometres?\n",
                      span);
    else if (t >= 10.0)
        Log::pwarning("Warning: %s, the thinnest conductor, is %g um thick: lengths are read in micrometres; "
                      "is the deck in nanometres?\n",
                      WhereBlock(*thinnest_name, thinnest).c_str(), t);
    return true;
}

// Inside by at most half a grid cell: on the grid, the same box.
bool Inside(const Cuboid& b, const Cuboid& w)
{
    const double tol = 0.5 / GRID_SCALE;
    return b.x0 >= w.x0 - tol && b.y0 >= w.y0 - tol && b.z0 >= w.z0 - tol && b.x1 <= w.x1 + tol &&
           b.y1 <= w.y1 + tol && b.z1 <= w.z1 + tol;
}

bool Meets(const Cuboid& b, const Cuboid& w)
{
    return b.x0 < w.x1 && w.x0 < b.x1 && b.y0 < w.y1 && w.y0 < b.y1 && b.z0 < w.z1 && w.z0 < b.z1;
}

// The run grows the window around the conductors but never cuts one, so a
// window that misses them or cuts through one is not the region the deck
// meant: the result would belong to another window.
bool CheckWindowHoldsConductors()
{
    if (!solver_space)
        return true;
    const Cuboid& w = *solver_space;
    const int line = DeckLineOf(solver_space);
    bool any = false;
    for (const auto& conductor : dictionary)
        for (const Cuboid* b : conductor.second)
            any = any || Meets(*b, w);
    if (!any) {
        Log::perror("Line %d : the window (%g,%g,%g)-(%g,%g,%g) holds none of the conductors: it must "
                    "enclose them\n",
                    line, w.x0, w.y0, w.z0, w.x1, w.y1, w.z1);
        return false;
    }
    for (const auto& conductor : dictionary)
        for (const Cuboid* b : conductor.second)
            if (!Inside(*b, w)) {
                Log::perror("%s reaches outside the window of line %d, (%g,%g,%g)-(%g,%g,%g): the "
                            "window must enclose every conductor whole\n",
                            WhereBlock(conductor.first, b).c_str(), line, w.x0, w.y0, w.z0, w.x1, w.y1,
                            w.z1);
                return false;
            }
    return true;
}

void ApplyWindowDefault()
{
    if (solver_space)
        return;
    Cuboid* box = nullptr;
    for (const auto& conductor : dictionary) {
        for (const Cuboid* b : conductor.second) {
            if (!box) {
                owned_boxes.push_back(*b);
                box_lines.push_back(0);
                box = &owned_boxes.back();
                box->id = 0;
                continue;
            }
            box->x0 = std::min(box->x0, b->x0);
            box->y0 = std::min(box->y0, b->y0);
            box->z0 = std::min(box->z0, b->z0);
            box->x1 = std::max(box->x1, b->x1);
            box->y1 = std::max(box->y1, b->y1);
            box->z1 = std::max(box->z1, b->z1);
        }
    }
    solver_space = box;
}

};

void BuildDeckLists(DeckLists& lists)
{
    lists.names.clear();
    lists.cuboids.clear();
    lists.media.clear();
    auto add = [&lists](const std::string& conductor, const std::vector<Cuboid*>& blocks) {
        int id = (int)lists.names.size();
        lists.names.push_back(conductor);
        for (Cuboid* b : blocks) {
            b->id = id;
            lists.cuboids.push_back(b);
        }
    };
    auto master = lists.conductors.find(lists.master);
    if (master != lists.conductors.end())
        add(master->first, master->second);
    for (const auto& conductor : lists.conductors) {
        if (conductor.first != lists.master)
            add(conductor.first, conductor.second);
    }
    lists.bands.clear();
    lists.bodies.clear();
    std::set<const Medium*> kept;
    for (const auto& medium : lists.media_by_name) {
        lists.media.insert(lists.media.end(), medium.second.begin(), medium.second.end());
        for (Medium* m : medium.second) {
            if (SpansWindow(*m->block, lists.window))
                lists.bands.push_back(m);
            else
                kept.insert(m);
        }
    }
    // The store holds the media in the order their statements ended, so a
    // replacing statement's blocks come at its own place.
    if (!kept.empty() && lists.store) {
        for (Medium& m : lists.store->media)
            if (kept.count(&m))
                lists.bodies.push_back(&m);
    } else {
        for (Medium* m : lists.media)
            if (kept.count(m))
                lists.bodies.push_back(m);
    }
}

bool SpansWindow(const Cuboid& b, const Cuboid* w)
{
    const double TOL = 1e-12;
    return !w || (b.x0 <= w->x0 + TOL && b.x1 >= w->x1 - TOL && b.y0 <= w->y0 + TOL && b.y1 >= w->y1 - TOL);
}

int DeckReader::Finish(int result, DeckLists& lists)
{
    if (result != 0)
        return 255;
    if (MasterMissing())
        return 255;  // the parser has said so
    if (!ValidateDeck() || !CheckScale() || !CheckWindowHoldsConductors())
        return 255;
    // Bands and bodies are told apart by the window, given or defaulted, so
    // the window is settled first.
    ApplyWindowDefault();
    if (!CheckMediaStack())
        return 255;
    BuildDeckLists(lists);
    return 0;
}

namespace {

// Passes a stream's bytes on to the scanner in blocks and digests each block
// as it goes by, so the deck is read once.
class DigestingBuf : public std::streambuf {
public:
    explicit DigestingBuf(std::streambuf* source) : source_(source) {}
    uint64_t digest = FNV_OFFSET;

protected:
    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        const std::streamsize n = source_->sgetn(block_, sizeof block_);
        if (n <= 0)
            return traits_type::eof();
        digest = DigestBytes(block_, (size_t)n, digest);
        taken_ += n;
        setg(block_, block_, block_ + n);
        return traits_type::to_int_type(*gptr());
    }
    // The position of the next character, where the file itself has one
    // (the parser's messages give it; a pipe has none).
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        if (off != 0 || dir != std::ios_base::cur || source_->pubseekoff(0, dir, which) == pos_type(-1))
            return pos_type(-1);
        return pos_type(taken_ - (egptr() - gptr()));
    }

private:
    std::streambuf* source_;
    std::streamsize taken_ = 0;
    char block_[65536];
};

}  // namespace

static void StartDeck(DeckLists& lists)
{
    lists = DeckLists();
    lists.store = std::make_shared<DeckStore>();
}

int ParseDeck(std::istream& in, DeckLists& lists)
{
    StartDeck(lists);
    DeckReader reader(lists, in, true);
    return reader.Parse();
}

std::vector<int> DeckTokens(std::istream& in, size_t most)
{
    DeckLists lists;
    StartDeck(lists);
    DeckReader reader(lists, in, true);
    std::vector<int> t;
    do
        t.push_back(reader.yylex());
    while (t.back() != 0 && t.size() < most);
    return t;
}

int LoadDeck(const char* path, DeckLists& lists, bool need_task, uint64_t* digest)
{
    StartDeck(lists);
    std::ifstream deck_file(path);
    if (!deck_file) {
        Log::perror("cannot open file: %s\n", path);
        return 255;
    }
    std::unique_ptr<DigestingBuf> digesting;
    std::istream digested(nullptr);
    if (digest) {
        digesting.reset(new DigestingBuf(deck_file.rdbuf()));
        digested.rdbuf(digesting.get());
    }
    DeckReader reader(lists, digest ? digested : deck_file, need_task);
    int result = reader.Parse();
    if (digest)
        *digest = digesting->digest;
    return reader.Finish(result, lists);
}

int LoadDeckText(const std::string& text, DeckLists& lists, bool need_task)
{
    StartDeck(lists);
    std::istringstream in(text);
    DeckReader reader(lists, in, need_task);
    return reader.Finish(reader.Parse(), lists);
}

int DeckLists::LineOf(const Cuboid* box) const
{
    if (!store)
        return 0;
    for (size_t i = 0; i < store->boxes.size(); ++i)
        if (&store->boxes[i] == box)
            return store->lines[i];
    return 0;
}
