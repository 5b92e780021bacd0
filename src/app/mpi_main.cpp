// bin/korva-mpi: one extraction spread over the processes of an MPI job.
// Every rank prepares the same deck; rank 0 hands out the chunks of walks
// of each master one at a time to whichever thread of whichever rank asks
// next, merges the returned sums in chunk order and decides when the master
// ends, so the numbers are those of a seeded threaded run for any split.
// A run of many masters hands out whole masters instead: each rank walks
// its master with its own threads, as a seeded threaded run would, and
// sends the row to rank 0, which writes the rows in the run's order.
static const char KORVA_SOURCE[] = "src/mpi_main";

#include <mpi.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <numeric>
#include <mutex>
#include <thread>
#include <vector>

#include "cmdline.h"
#include "datapaths.h"
#include "digest.h"
#include "extraction.h"
#include "frontend.h"
#include "import.h"
#include "layers.h"
#include "log.h"
#include "parser.h"
#include "partialrows.h"
#include "tablecache.h"
#include "textsafe.h"
#include "walkmgr.h"

namespace {

double Seconds(const timespec& from)
{
    return Elapsed(from, Now());
}

// One chunk's sums on the wire: master index, chunk, walks, hops and the
// stratum counts as 64-bit integers, then the two rows of sums, then for
// each floating conductor its walks reached its index and its five
// tallies, as many as the message's length holds. A request without a
// finished chunk carries chunk -1 and nothing after the counts.
const int HEADER = 4 + CHUNK_STRATA;
const size_t TALLY_BYTES = sizeof(int64_t) + 5 * sizeof(double);

size_t WireBytes(int slots, size_t reached)
{
    return sizeof(int64_t) * HEADER + sizeof(double) * 2 * CHUNK_STRATA * (size_t)slots +
           TALLY_BYTES * reached;
}

void Pack(int master, const ChunkSums& c, int slots, std::vector<char>& buf)
{
    int64_t head[HEADER] = {master, c.chunk, c.walks, c.hops};
    for (int k = 0; k < CHUNK_STRATA; k++)
        head[4 + k] = c.count[k];
    const std::vector<int>& reached = c.potentials.touched;
    buf.resize(c.chunk >= 0 ? WireBytes(slots, reached.size()) : sizeof head);
    memcpy(buf.data(), head, sizeof head);
    if (c.chunk >= 0) {
        const size_t row = sizeof(double) * CHUNK_STRATA * slots;
        char* at = buf.data() + sizeof head;
        memcpy(at, c.sum.data(), row);
        memcpy(at + row, c.sum2.data(), row);
        at += 2 * row;
        for (int k : reached) {
            const PotentialTallies::Tally& t = c.potentials.tally[k];
            const int64_t index = k;
            const double v[5] = {t.s, t.c, t.ss, t.cc, t.sc};
            memcpy(at, &index, sizeof index);
            memcpy(at + sizeof index, v, sizeof v);
            at += TALLY_BYTES;
        }
    }
}

// `floating`: the deck's count of floating conductors, which sizes the
// chunk's tallies.
int Unpack(const std::vector<char>& buf, int slots, int floating, ChunkSums& c)
{
    int64_t head[HEADER];
    FATAL_CHECK(buf.size() >= sizeof head);
    memcpy(head, buf.data(), sizeof head);
    if (c.potentials.tally.size() != (size_t)floating)
        c.potentials.Size(floating);
    c.Begin(head[1], slots);
    c.walks = head[2];
    c.hops = head[3];
    for (int k = 0; k < CHUNK_STRATA; k++)
        c.count[k] = head[4 + k];
    if (c.chunk >= 0) {
        const size_t sums = WireBytes(slots, 0), reached = (buf.size() - sums) / TALLY_BYTES;
        FATAL_CHECK(buf.size() >= sums && buf.size() == WireBytes(slots, reached) && reached <= (size_t)floating);
        const size_t row = sizeof(double) * CHUNK_STRATA * slots;
        const char* at = buf.data() + sizeof head;
        memcpy(c.sum.data(), at, row);
        memcpy(c.sum2.data(), at + row, row);
        c.every = true;
        at += 2 * row;
        for (size_t i = 0; i < reached; i++, at += TALLY_BYTES) {
            int64_t k;
            double v[5];
            memcpy(&k, at, sizeof k);
            memcpy(v, at + sizeof k, sizeof v);
            FATAL_CHECK(k >= 0 && k < floating && c.potentials.tally[k].c == 0.0 && v[1] > 0.0);
            c.potentials.tally[k] = {v[0], v[1], v[2], v[3], v[4]};
            c.potentials.touched.push_back((int)k);
        }
    }
    return (int)head[0];
}

// Rank 0's side of one master: the next chunk to hand out, and the merger
// with the chunks that came back ahead of their turn.
class Coordinator {
public:
    Coordinator(const StopRule& rule, Extraction& ex)
        : stores_(ex.Slots()),
          merger_(rule, ex.FaceShare(), stores_.is_sum, stores_.is_sum2, stores_.is_count.data(), ex.Slots()),
          floating_(ex.Floating()),
          start_(Now())
    {
        potentials_.Size((int)floating_.size());
    }
    // Takes a finished chunk (chunk -1: none) and gives the next one to run
    // with its walks, or -1 when the master's walks end.
    long long Exchange(ChunkSums& done, long long& walks)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done.chunk >= 0 && !merger_.stopped) {
            parked_[done.chunk].swap(done);
            for (auto it = parked_.find(merger_.Next()); it != parked_.end() && !merger_.stopped;
                 it = parked_.find(merger_.Next())) {
                // As a threaded run: the chunk that stops the walks counts too.
                merger_.Merge(it->second, Seconds(start_));
                potentials_.Merge(it->second.potentials);
                parked_.erase(it);
            }
        }
        const long long limit = merger_.ChunkLimit();
        if (merger_.stopped || (limit >= 0 && next_ >= limit))
            return -1;
        walks = merger_.WalksOfChunk(next_);
        return next_++;
    }
    MasterRow Row(const std::string& master, const std::vector<std::string>& sorted) const
    {
        MasterRow row;
        row.master = master;
        row.conductors.push_back(master);
        for (const std::string& name : sorted)
            if (name != master)
                row.conductors.push_back(name);
        for (size_t slot = 0; slot < stores_.cap.size(); slot++) {
            double mean, err;
            merger_.Estimate((int)slot, mean, err);
            row.cap.push_back(EPS0 * mean);
            row.err.push_back(EPS0 * err);
        }
        row.walks = merger_.walks;
        row.hops = merger_.hops;
        row.converged = merger_.converged;
        row.walk_seconds = Seconds(start_);
        row.reached_error = std::fabs(row.err[0] / row.cap[0]);
        for (size_t k = 0; k < floating_.size(); k++) {
            MasterRow::Potential p{floating_[k], 0.0, 0.0};
            if (potentials_.Estimate((int)k, p.potential, p.error))
                row.floating_potentials.push_back(p);
        }
        return row;
    }

private:
    struct Sums : ChunkSums {
        void swap(ChunkSums& o)
        {
            std::swap(chunk, o.chunk);
            std::swap(walks, o.walks);
            std::swap(hops, o.hops);
            std::swap(slots, o.slots);
            sum.swap(o.sum);
            sum2.swap(o.sum2);
            touched.swap(o.touched);
            marked.swap(o.marked);
            std::swap(every, o.every);
            std::swap(count, o.count);
            std::swap(potentials, o.potentials);
        }
    };
    std::mutex mutex_;
    StratumStores stores_;
    ChunkMerger merger_;
    const std::vector<std::string>& floating_;
    PotentialTallies potentials_;  // of the chunks merged so far
    std::map<long long, Sums> parked_;
    long long next_ = 0;
    timespec start_;
};

// Requests each thread of the other ranks keeps in flight: while it walks
// one chunk, the answers with its next ones are already on the way, so the
// walks never wait for rank 0.
const int LEAD = 4;

// How long rank 0's receiving thread sleeps when no request waits: from
// short, doubling while none comes, so that it answers quickly when the
// chunks are short and leaves the core to the walks when they are long.
const long POLL_MIN_NS = 20000, POLL_MAX_NS = 1000000;

// The next message of `tag` (MPI_ANY_TAG: of any) from any rank, waited for
// with that pause.
MPI_Status AwaitMessage(int tag)
{
    for (long poll = POLL_MIN_NS;; poll = std::min(2 * poll, POLL_MAX_NS)) {
        int ready = 0;
        MPI_Status st;
        MPI_Iprobe(MPI_ANY_SOURCE, tag, MPI_COMM_WORLD, &ready, &st);
        if (ready)
            return st;
        const timespec pause{0, poll};
        nanosleep(&pause, nullptr);
    }
}

// Whole masters: once the masters outnumber the ranks this many times, each
// rank walks whole masters, and no rank waits at each master's end for the
// last chunks of the others; only the masters left at the run's end do.
const size_t WHOLE_MASTERS_PER_RANK = 4;
const int WHOLE_TAG = 32000;  // below the least tag bound MPI allows

// Rank 0's side of a run of whole masters: the masters not yet handed out,
// in the run's order, and the rows that came back before their turn. The
// first is rank 0's own: its surface is the one a report draws.
class Farm {
public:
    explicit Farm(std::vector<size_t> todo) : todo_(std::move(todo)), next_(todo_.empty() ? 0 : 1) {}
    // The next master for another rank, or -1 when none is left or the run
    // has ended.
    long long Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || next_ >= todo_.size())
            return -1;
        return (long long)todo_[next_++];
    }
    void Put(size_t k, MasterRow&& row)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopped_)
            ready_[k] = std::move(row);
        arrived_.notify_all();
    }
    // Row k; rank 0 walks the masters not yet handed out while it waits.
    MasterRow Await(size_t k, const std::function<MasterRow(size_t)>& walk)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto it = ready_.find(k);
            if (it != ready_.end()) {
                MasterRow row = std::move(it->second);
                ready_.erase(it);
                return row;
            }
            if ((!first_walked_ && !todo_.empty()) || next_ < todo_.size()) {
                const size_t j = first_walked_ ? todo_[next_++] : todo_[0];
                first_walked_ = true;
                lock.unlock();
                MasterRow row = walk(j);
                lock.lock();
                ready_[j] = std::move(row);
                continue;
            }
            arrived_.wait(lock);
        }
    }
    void Stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<size_t> todo_;
    size_t next_;
    bool first_walked_ = false, stopped_ = false;
    std::map<size_t, MasterRow> ready_;
};

// Rank 0's thread that answers the other ranks of a run of whole masters:
// each request carries the row of the master the rank walked last (index
// -1 and no row at first) and is answered with the next master or -1.
void HandOut(Farm& farm, int remote)
{
    std::vector<char> buf;
    for (int ended = 0; ended < remote;) {
        const MPI_Status st = AwaitMessage(WHOLE_TAG);
        int bytes = 0;
        MPI_Get_count(&st, MPI_CHAR, &bytes);
        buf.resize(std::max(bytes, 8));
        MPI_Recv(buf.data(), bytes, MPI_CHAR, st.MPI_SOURCE, WHOLE_TAG, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        int64_t k = -1;
        memcpy(&k, buf.data(), sizeof k);
        if (k >= 0) {
            MasterRow row;
            FATAL_CHECK(RowFromText(std::string(buf.data() + 8, (size_t)bytes - 8), row));
            farm.Put((size_t)k, std::move(row));
        }
        long long next = farm.Take();
        ended += next < 0;
        MPI_Send(&next, 1, MPI_LONG_LONG, st.MPI_SOURCE, WHOLE_TAG, MPI_COMM_WORLD);
    }
}

// The other ranks of a run of whole masters: walk the master rank 0 names,
// send its row with the next request, until rank 0 answers -1. Rows of a
// brief console go sparse, as the files keep them.
void WalkWhole(Extraction& ex, const std::vector<std::string>& masters, const ExtractionSettings& x,
               bool sparse)
{
    std::string out(8, '\0');
    int64_t k = -1;
    for (;;) {
        memcpy(&out[0], &k, sizeof k);
        MPI_Send(out.data(), (int)out.size(), MPI_CHAR, 0, WHOLE_TAG, MPI_COMM_WORLD);
        long long next = -1;
        MPI_Recv(&next, 1, MPI_LONG_LONG, 0, WHOLE_TAG, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        if (next < 0)
            return;
        k = next;
        MasterRow row = ex.Run(masters[(size_t)k], x, (int)k);
        if (sparse && row.error.empty())
            Compact(row);
        out.resize(8);
        out += RowText(row);
    }
}

// Rank 0: its own threads take chunks directly; the main thread answers the
// other ranks' threads (`remote` in all) until each request has been told
// that the master ended.
MasterRow Serve(Extraction& ex, const StopRule& rule, const std::string& master, int index,
                int threads, int remote)
{
    Coordinator coord(rule, ex);
    std::vector<std::thread> local;
    for (int t = 0; t < threads; t++)
        local.emplace_back([&ex, &coord] {
            ChunkSums c;
            long long walks = 0;
            for (long long k; (k = coord.Exchange(c, walks)) >= 0;)
                ex.RunSharedChunk(k, walks, c);
        });
    const int slots = ex.Slots(), floating = (int)ex.Floating().size();
    std::vector<char> buf;
    ChunkSums c;
    for (int ended = 0, requests = remote * LEAD; ended < requests;) {
        const MPI_Status st = AwaitMessage(MPI_ANY_TAG);
        int bytes = 0;
        MPI_Get_count(&st, MPI_BYTE, &bytes);
        buf.resize((size_t)bytes);
        MPI_Recv(buf.data(), bytes, MPI_BYTE, st.MPI_SOURCE, st.MPI_TAG, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
        FATAL_CHECK(Unpack(buf, slots, floating, c) == index);
        long long reply[2] = {-1, 0};
        reply[0] = coord.Exchange(c, reply[1]);
        ended += reply[0] < 0;
        MPI_Send(reply, 2, MPI_LONG_LONG, st.MPI_SOURCE, st.MPI_TAG, MPI_COMM_WORLD);
    }
    for (std::thread& t : local)
        t.join();
    MasterRow row = coord.Row(master, ex.AllConductors());
    ex.Eliminate(row);
    return row;
}

// Other ranks: each thread returns its chunk and asks for the next, on its
// own tag. Rank 0 answers in order, and once it answers that the master
// ended it answers so to every later request too.
void Work(Extraction& ex, int index, int threads)
{
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&ex, index, t] {
            const int slots = ex.Slots();
            std::vector<char> buf[2];
            // Sums go out without waiting: a message this large is only
            // taken when rank 0 next looks, and the walks go on meanwhile.
            MPI_Request sent[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};
            int which = 0;
            ChunkSums c;
            c.Begin(-1, slots);
            Pack(index, c, slots, buf[0]);
            for (int k = 0; k < LEAD; k++)
                MPI_Send(buf[0].data(), (int)buf[0].size(), MPI_BYTE, 0, t, MPI_COMM_WORLD);
            for (int waiting = LEAD; waiting > 0;) {
                long long reply[2];
                MPI_Recv(reply, 2, MPI_LONG_LONG, 0, t, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
                waiting--;
                if (reply[0] < 0)
                    continue;
                ex.RunSharedChunk(reply[0], reply[1], c);
                MPI_Wait(&sent[which], MPI_STATUS_IGNORE);
                Pack(index, c, slots, buf[which]);
                MPI_Isend(buf[which].data(), (int)buf[which].size(), MPI_BYTE, 0, t, MPI_COMM_WORLD,
                          &sent[which]);
                which ^= 1;
                waiting++;
            }
            MPI_Waitall(2, sent, MPI_STATUSES_IGNORE);
        });
    for (std::thread& t : pool)
        t.join();
}

// What decides a rank's numbers, in the parts a mismatch names: each part's
// value is compared, and what it shows names it in the message.
enum Part { DECK, OPTIONS, TABLES, PARTS };
const char* const PART_NAMES[PARTS] = {"deck contents", "options", "table contents"};

struct Word {
    int status = -1;  // -1: this rank goes on
    std::string value[PARTS], shown[PARTS];
};

std::string Hex(uint64_t v)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
    return buf;
}

// Every rank's word, in rank order; the fields travel separated by NUL,
// which no path or argument holds.
std::vector<Word> AllWords(const Word& mine, int ranks)
{
    std::string text = std::to_string(mine.status);
    for (int p = 0; p < PARTS; p++)
        text += std::string(1, '\0') + mine.value[p] + '\0' + mine.shown[p];
    int length = (int)text.size();
    std::vector<int> lengths(ranks), at(ranks);
    MPI_Allgather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, MPI_COMM_WORLD);
    int total = 0;
    for (int r = 0; r < ranks; r++) {
        at[r] = total;
        total += lengths[r];
    }
    std::string all(total, '\0');
    MPI_Allgatherv(text.data(), length, MPI_CHAR, &all[0], lengths.data(), at.data(), MPI_CHAR,
                   MPI_COMM_WORLD);
    std::vector<Word> words(ranks);
    for (int r = 0; r < ranks; r++) {
        std::vector<std::string> fields(1);
        for (int i = at[r]; i < at[r] + lengths[r]; i++) {
            if (all[i] == '\0')
                fields.emplace_back();
            else
                fields.back() += all[i];
        }
        FATAL_CHECK(fields.size() == 1 + 2 * PARTS);
        words[r].status = std::stoi(fields[0]);
        for (int p = 0; p < PARTS; p++) {
            words[r].value[p] = fields[1 + 2 * p];
            words[r].shown[p] = fields[2 + 2 * p];
        }
    }
    return words;
}

// Where every rank meets before it goes on, so that all go on together or
// all end: a rank that stops alone would leave the others waiting for it
// forever. -1 when every rank goes on and their fingerprints (the parts
// given) agree; else the status every rank ends with, rank 0 having said
// why (a rank that stopped has said why itself).
int Agree(const Word& mine, int rank, int ranks)
{
    const std::vector<Word> words = AllWords(mine, ranks);
    bool going = true, same = true;
    for (const Word& w : words) {
        going = going && w.status < 0;
        same = same && w.status == words[0].status;
    }
    if (!going && same)
        return words[0].status;
    int status = going ? -1 : 255;
    for (int r = 0; r < ranks; r++) {
        if (!going) {
            if (rank == 0 && words[r].status >= 0)
                Log::perror("rank %d cannot go on; the job ends\n", r);
            continue;
        }
        std::string differs;
        for (int p = 0; p < PARTS; p++) {
            if (words[r].value[p] == words[0].value[p])
                continue;
            differs += std::string(differs.empty() ? "" : "; ") + PART_NAMES[p] + " (" +
                       TextSafe::ValidUtf8(words[0].shown[p]) + " vs " +
                       TextSafe::ValidUtf8(words[r].shown[p]) + ")";
        }
        if (differs.empty())
            continue;
        status = 255;
        if (rank == 0)
            Log::perror("rank %d differs from rank 0 in: %s\n", r, differs.c_str());
    }
    return status;
}

// The tables part of a fingerprint: every table taken in so far.
void NoteTables(Word& word, const DeckLists& lists, uint64_t digest)
{
    word.value[TABLES] = Hex(digest);
    std::string root = SingleTableRoot();
    char cwd[4096];
    if (root == "." && getcwd(cwd, sizeof cwd))
        root = cwd;  // each rank may have its own
    word.shown[TABLES] = root + "/incdata";
    if (lists.bands.size() >= 2) {
        const std::string registered = RegisteredTableFolder();
        word.shown[TABLES] += " and " + (registered.empty() ? CacheFolder() : registered);
    }
}

// Ends the rank's part of a job that cannot go on.
int Quit(int status)
{
    return status;
}

// A run of whole masters: rank 0 writes the rows in the run's order as
// they come, walking masters itself meanwhile; the other ranks walk what
// it hands them. Each row is that of a seeded threaded run of its master.
int RunWhole(const RunSettings& settings, RunRecord& run, const std::vector<std::string>& masters,
             const std::vector<char>& finished, Extraction& ex, const DeckLists& lists,
             const Cuboid& deck_window, const timespec& total_start, int rank, int ranks, bool brief)
{
    ExtractionSettings x = ExtractionOf(settings, true, settings.seed);
    x.console = false;
    if (rank != 0) {
        WalkWhole(ex, masters, x, brief);
        return 0;
    }
    std::vector<size_t> todo;
    for (size_t k = 0; k < masters.size(); k++)
        if (!finished[k])
            todo.push_back(k);
    Farm farm(todo);
    std::thread answers([&farm, ranks] { HandOut(farm, ranks - 1); });
    const int status =
        RunMasters(run, masters, ex, lists, deck_window, total_start, [&](size_t k, MasterRow& row) {
            // The walk count of each row is told as the row is reported,
            // as for the chunks of one master, not as rank 0's walks end.
            auto walk = [&](size_t j) {
                FILE* out = Log::out;
                Log::out = nullptr;
                MasterRow r = ex.Run(masters[j], x, (int)j);
                Log::out = out;
                return r;
            };
            row = farm.Await(k, walk);
            if (!row.error.empty())
                Log::perror("%s", row.error.c_str());
            else
                Log::output("Total random walks: %lld\n", row.walks);
            return row.fatal ? Obtained::END : Obtained::ROW;
        });
    // Every other rank is told the run has ended, also one that ended early.
    farm.Stop();
    answers.join();
    return status;
}

int Run(int argc, char** argv, int rank, int ranks, int provided)
{
    const timespec total_start = Now();
    PrintBanner();
    RunSettings settings;
    ImportedInput imported;
    DeckLists lists;
    Word word;
    uint64_t deck = 0;
    word.status = ParseOptions(argc, argv, settings);
    // Each rank trims its own machine's kept laws as it ends.
    const TrimLawsAtEnd trim{settings};
    if (word.status == OPTIONS_RUN &&
        (settings.deck_path.empty() || !settings.seeded || !settings.batch_list.empty() ||
         !settings.convert_out.empty() || !settings.pattern_out.empty() || !settings.rcx_out.empty() ||
         settings.per_length)) {
        Log::perror("korva-mpi runs one deck with --seed <n>: -f <file> --seed <n> [options]\n");
        word.status = 255;
    }
    if (word.status == OPTIONS_RUN && settings.threads > 1 && provided < MPI_THREAD_MULTIPLE) {
        Log::perror("this MPI library cannot serve several threads per rank: use -n 1\n");
        word.status = 255;
    }
    if (word.status == OPTIONS_RUN) {
        // Only rank 0 writes the files, and the other ranks' machines need
        // not see its folders.
        if (rank != 0)
            settings.picture_path = settings.json_path = settings.csv_path = settings.spef_path =
                settings.spef_pins = settings.report_path = "";
        word.status = LoadRunInput(settings, imported, lists, &deck);
        word.value[DECK] = Hex(deck);
        word.shown[DECK] = settings.deck_path;
        word.value[OPTIONS] = word.shown[OPTIONS] = NumberOptions(settings);
    }
    int status = Agree(word, rank, ranks);
    if (status >= 0)
        return word.status < 0 ? Quit(status) : status;
    // Every rank takes rank 0's word, so none waits for walks that never come.
    int drawn = rank == 0 ? DrawDeckFirst(settings, lists) : 0;
    MPI_Bcast(&drawn, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (drawn >= 0) {
            return drawn;
    }
    const Cuboid deck_window = *lists.window;  // preparation enlarges it in place
    Extraction ex(lists);
    if (!ex.Error().empty()) {
        Log::perror("%s", ex.Error().c_str());
        fflush(nullptr);
        MPI_Abort(MPI_COMM_WORLD, 255);
    }
    std::vector<std::string> masters;
    word = Word();
    if (!ResolveMasters(settings, ex.Conductors(), lists.master, masters, ex.Floating()))
        word.status = 255;  // the deck is freed
    else
        NoteTables(word, lists, ex.TablesDigest());
    status = Agree(word, rank, ranks);
    if (status >= 0)
        return word.status < 0 ? Quit(status) : status;
    // Each rank may run its own number of threads: they change how the
    // chunks are spread, never the numbers.
    std::vector<int> threads(ranks);
    MPI_Allgather(&settings.threads, 1, MPI_INT, threads.data(), 1, MPI_INT, MPI_COMM_WORLD);
    const int remote = std::accumulate(threads.begin() + 1, threads.end(), 0);
    if (std::count(threads.begin(), threads.end(), settings.threads) == ranks)
        Log::output("Seed: %llu (reproducible walks, %d ranks x %d threads)\n",
                    (unsigned long long)settings.seed, ranks, settings.threads);
    else
        Log::output("Seed: %llu (reproducible walks, %d ranks, %d threads in all)\n",
                    (unsigned long long)settings.seed, ranks, remote + settings.threads);
    StopRule rule;
    rule.mode = settings.end_mode;
    rule.target_walks = settings.target_walks;
    rule.target_error = settings.target_error;
    rule.max_walks = settings.max_walks;
    rule.time_limit = settings.time_limit;
    rule.coupling_error = settings.coupling_error;
    rule.coupling_min = settings.coupling_min;
    RunRecord run = RecordOfRun(settings, settings.seed, ex.Conductors());
    run.netlist = imported.netlist;
    run.floating = ex.Floating();
    // Rank 0 keeps the finished rows beside its files, as bin/korva does,
    // and tells every rank which masters a stopped run already finished.
    std::vector<char> finished(masters.size(), 0);
    word = Word();
    if (rank == 0 && masters.size() > 1) {
        run.resume_key = NumberOptions(settings) + " deck " + Hex(deck);
        const std::string path = PartialRows::PathFor(run);
        std::map<std::string, MasterRow> done;
        std::string error;
        PartialRows earlier;
        if (!path.empty() && !earlier.Open(path, run.resume_key, done, error)) {
            Log::perror("%s\n", error.c_str());
            word.status = 255;
        }
        for (size_t k = 0; k < masters.size(); k++)
            finished[k] = done.count(masters[k]) > 0;
    }
    status = Agree(word, rank, ranks);
    if (status >= 0)
        return word.status < 0 ? Quit(status) : status;
    if (!finished.empty())
        MPI_Bcast(finished.data(), (int)finished.size(), MPI_CHAR, 0, MPI_COMM_WORLD);
    const bool brief = settings.progress || masters.size() > BRIEF_CONSOLE_MASTERS;
    const bool whole = ranks > 1 && provided >= MPI_THREAD_SERIALIZED &&
                       masters.size() >= WHOLE_MASTERS_PER_RANK * (size_t)ranks;
    if (whole)
        return RunWhole(settings, run, masters, finished, ex, lists, deck_window, total_start, rank, ranks,
                        brief);
    // A master that cannot be extracted on every rank is skipped by all;
    // tables a master loads late (its half tables) are compared again.
    const int SKIPPED = 1;
    return RunMasters(run, masters, ex, lists, deck_window, total_start, [&](size_t k, MasterRow& row) {
        if (finished[k])
            return Obtained::ELSEWHERE;  // rank 0 takes its row from the file
        word = Word();
        if (!ex.SelectMaster(masters[k], row.error)) {
            Log::perror("%s", row.error.c_str());
            word.status = SKIPPED;
        } else {
            NoteTables(word, lists, ex.TablesDigest());
        }
        status = Agree(word, rank, ranks);
        if (status == SKIPPED)
            return Obtained::ROW;  // its error, told by each rank
        if (status >= 0)
            return Obtained::END;
        ex.BeginChunks(settings.seed);
        if (rank != 0) {
            Work(ex, (int)k, settings.threads);
            // No request of the next master may reach rank 0 before it has
            // answered every thread of this one.
            MPI_Barrier(MPI_COMM_WORLD);
            return Obtained::ELSEWHERE;
        }
        row = Serve(ex, rule, masters[k], (int)k, settings.threads, remote);
        MPI_Barrier(MPI_COMM_WORLD);
        Log::output("Total random walks: %lld\n", row.walks);
        return Obtained::ROW;
    });
}

// A rank that leaves without finishing MPI (an exit() anywhere below, a
// table or deck fault found deep in the preparation) takes the whole job
// with it rather than leave the others waiting for it.
void EndJobOnExit()
{
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (finalized)
        return;
    fflush(nullptr);
    MPI_Abort(MPI_COMM_WORLD, 255);
}

}  // namespace

int main(int argc, char** argv)
{
    int provided = 0, rank = 0, ranks = 1;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    atexit(EndJobOnExit);
    Log::open();
    // A report nobody can read is no result: the rank ends at once, and
    // mpirun ends the job.
    Log::unwritable = [] { _exit(255); };
    // Rank 0 speaks for the job; the others only say, at once and under
    // their rank, why they cannot go on.
    static const std::string tag = "rank " + std::to_string(rank) + ": ";
    if (rank != 0) {
        Log::inf = Log::wrn = Log::out = Log::rst = nullptr;
        Log::ero = stderr;
        Log::tag = tag.c_str();
    }
    // A file-size limit makes a write fail with a message naming the file.
    signal(SIGXFSZ, SIG_IGN);
    int status = 255;
    try {
        status = Run(argc, argv, rank, ranks, provided);
    } catch (const InputError& e) {
        // As a rank that cannot go on: the whole job ends with its status.
        Log::perror("%s", e.message.c_str());
        fflush(nullptr);
        MPI_Abort(MPI_COMM_WORLD, e.status);
    } catch (const std::exception& e) {
        // The other ranks may be waiting for this one: the whole job ends.
        fprintf(stderr, "korva-mpi: internal error on rank %d: %s\n", rank, e.what());
        MPI_Abort(MPI_COMM_WORLD, 255);
    } catch (...) {
        fprintf(stderr, "korva-mpi: internal error on rank %d\n", rank);
        MPI_Abort(MPI_COMM_WORLD, 255);
    }
    MPI_Finalize();
    return status;
}
