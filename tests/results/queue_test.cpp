#include "results/queue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "language/genome.h"
#include "results/results.h"
#include "results_testdir.h"

using namespace resultstest;

namespace {

const ResultFormat RUNFORMAT{3, 6, 1, "Mpts"};

// A queue in the test directory, with results recorded to the usual two files there.
class Queue : public ResultsDir {
 protected:
  void SetUp() override {
    ResultsDir::SetUp();
    q.queuefile = "queue.txt";
    q.needed = 5;
    results = LSet_new(sizeof(Result));
    lattice("demo", "S1 1 2 3");
    checksum_machinecell = nullptr;
  }
  void TearDown() override {
    QuarantineInfo_free(&q);
    Results_free(results);
    ResultsDir::TearDown();
  }
  // A fresh genome of lattice demo.
  static Genome fresh(int zsrc) {
    Genome g = Genome_new();
    gassign(&g, "zsrc", zsrc);
    gassign(&g, "#gen", 3);
    return g;
  }
  // One run: the queue is asked first, as the run cycle does; a fresh genome is made when it
  // has nothing. Returns the genome that was run (text form).
  std::string run(double score, double calc, int freshzsrc = 500) {
    char* lat = nullptr;
    Genome g = getqueuedresult(&lat, ordaxchecksum, &q);
    if (g.count == -1) g = fresh(freshzsrc);
    else EXPECT_STREQ(lat, "demo");
    free(lat);
    std::string ran = Genome_string(g);
    genomeresult(&g, score, calc, "demo", ordaxchecksum, "", &results, &RUNFORMAT, &q);
    Genome_free(g);
    return ran;
  }
  // Adds a recorded result of demo with `runs` runs to the in-memory set.
  void recorded(double score, int runs) {
    Genome g = fresh(100);
    gassign(&g, "#runs", runs);
    Result r = Result_create(g, score, 1, "v4.47_dev", "demo", "", &RUNFORMAT, ordaxchecksum);
    LSet_add(&results, &r);
    Genome_free(g);
  }
  // The lines of a queue entry of `lat` (its check value taken from the lattice file as it is
  // now) that has run `runs` times, the last with `score`.
  static std::string queued(int zsrc, int runs, double score, const char* lat = "demo") {
    Genome g = fresh(zsrc);
    gassign(&g, "#runs", runs);
    gassign(&g, "#queued", 1);
    Result r = Result_createqueued(g, &score, 1, 1, "v4.47_dev", lat, "", &RUNFORMAT,
                                   ordaxchecksum);
    std::string lines = Result_lines(r);
    Result_free(r);
    Genome_free(g);
    return lines;
  }
  std::vector<std::string> loadedtexts(const char* path) {
    LSet set = Results_load(path, nullptr);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < set.count; i++)
      out.push_back(std::string(LSet_at<Result>(set, i).genome) + "|" +
                    LSet_at<Result>(set, i).text);
    Results_free(set);
    return out;
  }

  QuarantineInfo q;
  LSet results{};
};

}  // namespace

TEST_F(Queue, BestResultIsRunFiveTimesAndRecordedOnceWithTheTrimmedMean) {
  const double scores[] = {10, 14, 11, 9, 12.5};
  for (int i = 0; i < 5; i++) {
    SCOPED_TRACE(i);
    std::string ran = run(scores[i], 100.04);
    if (i == 0) {
      EXPECT_EQ(ran, "zsrc=500;#gen=3;");
    } else {
      EXPECT_EQ(ran, "zsrc=500;#gen=3;#runs=" + std::to_string(i) + ";#queued=1;");
      EXPECT_TRUE(messages.has("Rechecking quarantined result"));
    }
    if (i < 4) {
      EXPECT_TRUE(q.active);
      EXPECT_EQ(q.count, i + 1);
      EXPECT_FALSE(fs::exists("results.dat"));
      EXPECT_EQ(results.count, 0u);
      // The queue holds the one entry, with every score so far and the work summed.
      std::vector<std::string> queue = loadedtexts("queue.txt");
      ASSERT_EQ(queue.size(), 1u);
      EXPECT_EQ(queue[0].substr(0, queue[0].find('|')),
                "zsrc=500;#gen=3;#runs=" + std::to_string(i + 1) + ";#queued=1;");
    }
  }
  EXPECT_EQ(messages.count("Initiating quarantine of score 10"), 1);
  EXPECT_TRUE(messages.has("  (no rechecked scores for demo found)"));
  EXPECT_TRUE(messages.has("Quarantined result has now been run 5 of 5 times"));
  // Sorted 9 10 11 12.5 14: one dropped at each end, (10 + 11 + 12.5)/3 = 11.166667.
  EXPECT_TRUE(messages.has("Result passed quarantine with score 11.1667, will be added to "
                           "results file"));
  EXPECT_FALSE(q.active);
  EXPECT_FALSE(fs::exists("queue.txt"));
  ASSERT_EQ(results.count, 1u);
  const Result& r = LSet_at<Result>(results, 0);
  EXPECT_STREQ(r.genome, "zsrc=500;#gen=3;#runs=5;");
  std::string text = r.text;
  EXPECT_EQ(text.substr(0, text.find(" {")), "11.166667 (500.0 Mpts) [v4.47_dev] <demo>");
  EXPECT_EQ(text.size() - text.find(" {"), 28u);  // " {" 24 digits "} "
  std::vector<std::string> want{std::string(r.genome) + "|" + text.substr(0, text.size() - 1)};
  EXPECT_EQ(loadedtexts("results.dat"), want);
  EXPECT_EQ(loadedtexts("results.txt"), want);
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 0), 1);
}

TEST_F(Queue, FourRechecksDropNothing) {
  q.needed = 4;
  for (double s : {1.0, 2.0, 3.0, 10.0}) run(s, 1);
  ASSERT_EQ(results.count, 1u);
  EXPECT_EQ(std::string(LSet_at<Result>(results, 0).text).substr(0, 9), "4.000000 ");
}

TEST_F(Queue, ATieWithTheBestRecheckedScoreIsQuarantined) {
  recorded(10, 5);
  recorded(3, 5);
  recorded(50, 4);  // not fully rechecked: does not count
  run(10, 1);
  EXPECT_TRUE(q.active);
  EXPECT_TRUE(messages.has("  (best rechecked score for demo is 10)"));
  EXPECT_EQ(loadedtexts("queue.txt").size(), 1u);
  EXPECT_EQ(results.count, 3u);
}

TEST_F(Queue, AResultBelowABetterRecheckedScoreIsRecordedAtOnce) {
  recorded(10.5, 5);
  std::string ran = run(10, 1);
  EXPECT_FALSE(q.active);
  EXPECT_FALSE(fs::exists("queue.txt"));
  ASSERT_EQ(results.count, 2u);
  EXPECT_STREQ(LSet_at<Result>(results, 1).genome, ran.c_str());  // no #runs added
  EXPECT_EQ(loadedtexts("results.dat").size(), 1u);
  EXPECT_FALSE(messages.has("Initiating quarantine of score 10"));
}

TEST_F(Queue, OneNeededRunRecordsTheCandidateAtOnce) {
  q.needed = 1;
  run(7, 1);
  EXPECT_TRUE(messages.has("Initiating quarantine of score 7"));
  EXPECT_TRUE(messages.has("Quarantine finished rather quickly (only 1 result needed)"));
  EXPECT_FALSE(fs::exists("queue.txt"));
  ASSERT_EQ(results.count, 1u);
  EXPECT_STREQ(LSet_at<Result>(results, 0).genome, "zsrc=500;#gen=3;#runs=1;");
}

TEST_F(Queue, TestEntryIsRunOnceWithoutHashFieldsAndRecorded) {
  recorded(99, 5);  // so the test run is no candidate
  writefile("queue.txt", "a=250;#runs=3;#gen=2;\r\nTEST from the server <DEMO>\r\n" +
                             std::string("b=1;\r\nTEST <demo>\r\n"));
  char* lat = nullptr;
  Genome g = getqueuedresult(&lat, ordaxchecksum, &q);
  ASSERT_NE(g.count, -1);
  EXPECT_STREQ(lat, "DEMO");
  EXPECT_EQ(Genome_string(g), "a=250;#queued=2;");
  EXPECT_TRUE(messages.has("Testing result from queue file"));
  EXPECT_FALSE(q.active);
  genomeresult(&g, 5, 1, lat, ordaxchecksum, "", &results, &RUNFORMAT, &q);
  Genome_free(g);
  free(lat);
  EXPECT_EQ(readfile("queue.txt"), "b=1;\r\nTEST <demo>\r\n");
  ASSERT_EQ(results.count, 2u);
  EXPECT_STREQ(LSet_at<Result>(results, 1).genome, "a=250;");
  EXPECT_EQ(loadedtexts("results.txt").size(), 1u);
}

TEST_F(Queue, WithoutQuarantineEveryResultIsRecorded) {
  for (QuarantineInfo* qq : {(QuarantineInfo*)nullptr, &q}) {
    if (qq) q.queuefile = nullptr;
    Genome g = fresh(1);
    genomeresult(&g, 1e9, 1, "demo", nullptr, "", &results, &RUNFORMAT, qq);
    Genome_free(g);
  }
  EXPECT_EQ(results.count, 2u);
  EXPECT_EQ(loadedtexts("results.dat").size(), 2u);
  EXPECT_FALSE(fs::exists("queue.txt"));
  // Without a check function nothing is appended after the lattice but the extra text.
  EXPECT_STREQ(LSet_at<Result>(results, 0).text,
               "1000000000.000000 (1.0 Mpts) [v4.47_dev] <demo> ");
}

TEST_F(Queue, ScoresAreRoundedToTheFormatBeforeUse) {
  q.needed = 2;
  run(1.23456749, 0.04);  // 1.234567, 0.0
  run(1.0000006, 0.06);   // 1.000001, 0.1
  ASSERT_EQ(results.count, 1u);
  std::string text = LSet_at<Result>(results, 0).text;
  EXPECT_EQ(text.substr(0, text.find(" [")), "1.117284 (0.1 Mpts)");
}

// A re-run of a recorded result carries #runs from its genome line; it did not come from the
// queue, so nothing is taken off the queue (and no missing queue is "fatal").
TEST_F(Queue, ReRunOfARecordedResultLeavesTheQueueAlone) {
  recorded(100, 5);
  writefile("queue.txt", "x=1;\r\nTEST <demo>\r\n");
  Genome g = fresh(100);
  gassign(&g, "#runs", 5);
  genomeresult(&g, 20, 1, "demo", ordaxchecksum, "", &results, &RUNFORMAT, &q);
  Genome_free(g);
  EXPECT_EQ(readfile("queue.txt"), "x=1;\r\nTEST <demo>\r\n");
  EXPECT_EQ(results.count, 2u);
  fs::remove("queue.txt");
  g = fresh(100);
  gassign(&g, "#runs", 5);
  genomeresult(&g, 20, 1, "demo", ordaxchecksum, "", &results, &RUNFORMAT, &q);
  Genome_free(g);
  EXPECT_FALSE(messages.anywarning());
  EXPECT_EQ(results.count, 3u);
}

// A flag left active by an earlier run must not turn a fresh result into a queue entry.
TEST_F(Queue, StaleActiveFlagDoesNotQueueAFreshResult) {
  recorded(100, 5);
  q.active = 1;
  char* lat = nullptr;
  Genome none = getqueuedresult(&lat, ordaxchecksum, &q);  // no queue file
  EXPECT_EQ(none.count, -1);
  EXPECT_FALSE(q.active);
  q.active = 1;  // even if set again behind its back
  Genome g = fresh(3);
  genomeresult(&g, 1, 1, "demo", ordaxchecksum, "", &results, &RUNFORMAT, &q);
  Genome_free(g);
  EXPECT_FALSE(fs::exists("queue.txt"));
  EXPECT_EQ(results.count, 2u);
}

TEST_F(Queue, HeadEntriesThatCannotRunAreHandledByKind) {
  char* lat = nullptr;
  // Lattice file gone: the entry is removed.
  writefile("queue.txt", "a=1;#queued=1;#runs=1;\r\n5.000000 (1.0 Mpts) [v4.47_dev] <gone>\r\n" +
                             std::string("b=2;\r\nTEST <demo>\r\n"));
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  EXPECT_EQ(readfile("queue.txt"), "b=2;\r\nTEST <demo>\r\n");
  // Another lattice asked for: the entry stays.
  lat = strdup("other");
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  EXPECT_STREQ(lat, "other");
  free(lat);
  lat = nullptr;
  EXPECT_EQ(readfile("queue.txt"), "b=2;\r\nTEST <demo>\r\n");
  // Neither a test entry nor a quarantined one: it stays, nothing is run.
  writefile("queue.txt", "a=1;\r\n5.000000 (1.0 Mpts) [v4.47_dev] <demo>\r\n");
  EXPECT_EQ(getqueuedresult(&lat, nullptr, &q).count, -1);
  EXPECT_EQ(lat, nullptr);
  EXPECT_TRUE(fs::exists("queue.txt"));
  // No lattice name at all.
  writefile("queue.txt", "a=1;\r\nTEST\r\n");
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  // No queue file, or none named.
  fs::remove("queue.txt");
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  q.queuefile = nullptr;
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  EXPECT_EQ(lat, nullptr);
}

// A lattice whose name begins with '_' is never picked by the client but is run when named;
// its file is there, so its quarantined result is re-run at the next start, not dropped, and
// its check value is verified against that file like any other.
TEST_F(Queue, ResultOfALatticeRunOnlyByNameStaysQueued) {
  lattice("_check", "S1 1 2 3");
  const std::string lines = queued(5, 1, 4, "_check");
  writefile("queue.txt", lines);
  char* lat = nullptr;
  Genome head = getqueuedresult(&lat, ordaxchecksum, &q);
  EXPECT_EQ(Genome_string(head), "zsrc=005;#gen=3;#runs=1;#queued=1;");
  EXPECT_STREQ(lat, "_check");
  EXPECT_EQ(readfile("queue.txt"), lines);
  Result r = Result_create(head, 4, 1, "v4.47_dev", "_check", "", &RUNFORMAT, ordaxchecksum);
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 1), 1);  // verified, not unverifiable
  Result_free(r);
  free(lat);
  Genome_free(head);
}

// An entry that fails its check (its lattice file was edited) can never be run: it is dropped
// with the lines before the first good entry, so popqueue later removes the entry that ran.
TEST_F(Queue, InvalidLinesBeforeTheHeadAreDropped) {
  const std::string stale = queued(5, 1, 4);
  lattice("demo", "S1 1 2 4");  // edited: the stale entry's check value no longer holds
  const std::string good = queued(5, 1, 4);
  writefile("queue.txt", "junk\r\n" + stale + good);
  char* lat = nullptr;
  Genome head = getqueuedresult(&lat, ordaxchecksum, &q);
  ASSERT_NE(head.count, -1);
  EXPECT_EQ(readfile("queue.txt"), good);
  EXPECT_EQ(q.count, 1);
  EXPECT_EQ(q.calc, 1.0);
  EXPECT_TRUE(q.active);
  genomeresult(&head, 4, 1, lat, ordaxchecksum, "", &results, &RUNFORMAT, &q);
  std::vector<std::string> queue = loadedtexts("queue.txt");
  ASSERT_EQ(queue.size(), 1u);  // the updated entry replaced the one that ran
  EXPECT_EQ(queue[0].substr(0, queue[0].find(' ')),
            "zsrc=005;#gen=3;#runs=2;#queued=1;|4.000000,4.000000");
  Genome_free(head);
  free(lat);
}

TEST_F(Queue, PopAndPushEditTheFileThroughARenamedCopy) {
  Result a{strdup("a=1;"), strdup("TEST <demo>"), 0};
  Result b{strdup("b=2;"), strdup("TEST <demo>"), 0};
  EXPECT_EQ(pushqueue(&q, a), 1);  // a missing file is created
  EXPECT_EQ(pushqueue(&q, b), 1);
  EXPECT_EQ(readfile("queue.txt"), "b=2;\r\nTEST <demo>\r\na=1;\r\nTEST <demo>\r\n");
  EXPECT_FALSE(fs::exists("queue.txt.new"));
  EXPECT_EQ(popqueue(&q), 1);
  EXPECT_EQ(readfile("queue.txt"), "a=1;\r\nTEST <demo>\r\n");
  // A new file that cannot be written leaves the old queue as it was.
  const std::string two = "b=2;\r\nTEST <demo>\r\na=1;\r\nTEST <demo>\r\n";
  writefile("queue.txt", two);
  fs::create_directory("queue.txt.new");
  EXPECT_EQ(pushqueue(&q, b), 0);
  EXPECT_EQ(popqueue(&q), 0);
  EXPECT_EQ(readfile("queue.txt"), two);
  EXPECT_EQ(messages.count("[WARNING] Could not update queue file 'queue.txt'"), 2);
  fs::remove("queue.txt.new");
  EXPECT_EQ(popqueue(&q), 1);
  EXPECT_EQ(popqueue(&q), 1);
  EXPECT_FALSE(fs::exists("queue.txt"));
  EXPECT_EQ(popqueue(&q), 0);
  EXPECT_EQ(messages.all.back(), "[FATAL] Failed to delete result out of non-existant queue.");
  Result_free(a);
  Result_free(b);
}

TEST_F(Queue, UnreadableQueueIsNeverErased) {
  fs::create_directories("queue.txt/inside");  // exists, but cannot be read as a file
  Result a{strdup("a=1;"), strdup("TEST <demo>"), 0};
  EXPECT_EQ(pushqueue(&q, a), 0);
  EXPECT_EQ(messages.all.back(), "[WARNING] Could not update queue file 'queue.txt'");
  EXPECT_EQ(popqueue(&q), 0);
  EXPECT_TRUE(fs::is_directory("queue.txt/inside"));
  Result_free(a);
}

TEST(QuarantineInfo, BinaryFormRoundTripsAndRejectsShortRecords) {
  QuarantineInfo q;
  q.queuefile = "queue.txt";
  q.needed = 7;
  q.active = 1;
  q.scores = (double*)malloc(2 * sizeof(double));
  q.scores[0] = 1.5;
  q.scores[1] = -2.0;
  q.count = 2;
  q.calc = 300.25;
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(QuarantineInfo_write(&q, f), 1);
  testsupport::Bytes bytes = testsupport::streambytes(f);
  const long size = (long)bytes.size();
  EXPECT_EQ(size, 1 + 4 + 16 + 8);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 5),
            (std::vector<unsigned char>{1, 2, 0, 0, 0}));
  EXPECT_EQ(bytes[5 + 6], 0xF8);  // 1.5 = 0x3FF8000000000000, little-endian
  EXPECT_EQ(bytes[5 + 7], 0x3F);
  QuarantineInfo r;
  r.queuefile = "other.txt";
  r.needed = 3;
  rewind(f);
  EXPECT_EQ(QuarantineInfo_read(&r, f), 1);
  EXPECT_TRUE(r.active);
  ASSERT_EQ(r.count, 2);
  EXPECT_EQ(r.scores[0], 1.5);
  EXPECT_EQ(r.scores[1], -2.0);
  EXPECT_EQ(r.calc, 300.25);
  EXPECT_STREQ(r.queuefile, "other.txt");  // neither the file nor needed is saved
  EXPECT_EQ(r.needed, 3);
  for (long cut = 0; cut < size; cut++) {
    SCOPED_TRACE(cut);
    FILE* g = testsupport::streamwith(testsupport::Bytes(bytes.begin(), bytes.begin() + cut));
    EXPECT_EQ(QuarantineInfo_read(&r, g), 0);
    EXPECT_FALSE(r.active);
    EXPECT_EQ(r.count, 0);
    fclose(g);
  }
  fclose(f);
  // Inactive: one zero byte and nothing else.
  q.active = 0;
  f = tmpfile();
  EXPECT_EQ(QuarantineInfo_write(&q, f), 1);
  EXPECT_EQ(ftell(f), 1);
  rewind(f);
  EXPECT_EQ(QuarantineInfo_read(&r, f), 1);
  EXPECT_FALSE(r.active);
  fclose(f);
  QuarantineInfo_free(&q);
  QuarantineInfo_free(&r);
}

// The run cycle under -q with nothing queued ends with code 0.
TEST_F(ResultsDir, QueueOnlyRunEndsWhenTheQueueIsEmpty) {
  writefile("user.txt", "tester");
  std::string line = (dir / "ordax").string() + " -c -q";
  EXPECT_EXIT(
      {
        report_setsink(nullptr, nullptr);
        TAVLIB_main2(line.data());
        exit(5);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- nothing lost when a recording is cut short ----

// The final recheck of a quarantined result: the entry leaves the queue only after both
// results files hold the result. With the store unwritable the entry stays, and the pending
// record is completed at the next start once the store can be written again.
TEST_F(Queue, QueueEntryOutlivesAFailedAppendAndIsCompletedAtStart) {
  q.needed = 2;
  run(10, 1);  // quarantined
  ASSERT_TRUE(fs::exists("queue.txt"));
  std::string queued = readfile("queue.txt");
  fs::create_directory("results.dat");  // cannot be appended to
  run(12, 1);                           // passes quarantine
  EXPECT_EQ(readfile("queue.txt"), queued);
  ASSERT_TRUE(fs::exists("results.pending"));
  fs::remove("results.dat");
  Results_free(results);
  results = LSet_new(sizeof(Result));
  EXPECT_EQ(completependingresult(), 1);
  EXPECT_FALSE(fs::exists("queue.txt"));
  EXPECT_FALSE(fs::exists("results.pending"));
  std::vector<std::string> stored = loadedtexts("results.dat");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].substr(0, stored[0].find(' ')), "zsrc=500;#gen=3;#runs=2;|11.000000");
  EXPECT_EQ(loadedtexts("results.txt"), stored);  // once in each file, not twice
  EXPECT_EQ(completependingresult(), 0);
}

// A kill after the results.dat append and before the results.txt one (simulated by a pending
// record and a results.dat that already ends with the result): only results.txt is appended.
TEST_F(Queue, PendingRecordAppendsOnlyWhereTheResultIsMissing) {
  Genome g = fresh(7);
  Result r = Result_create(g, 3, 1, "v4.47_dev", "demo", "", &RUNFORMAT, ordaxchecksum);
  std::string lines = Result_lines(r);
  struct Case {
    const char* what;
    std::string dat, txt;  // the files before the start (none: missing)
  };
  const std::string other = "x=1;\r\n1.000000 (1.0 Mpts) [v4.47_dev] <demo> {00} \r\n";
  const Case cases[] = {
      {"neither appended", other, ""},
      {"store appended", other + lines, ""},
      {"store appended, cut upload line", other + lines, other + "y=2;\r\n1.0"},
      {"both appended", lines, other + lines},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writefile("results.dat", c.dat);
    writefile("results.txt", c.txt);
    writefile("results.pending", lines);
    EXPECT_EQ(completependingresult(), 1);
    EXPECT_EQ(readfile("results.dat"), c.dat.size() >= lines.size() &&
                                               c.dat.compare(c.dat.size() - lines.size(),
                                                             lines.size(), lines) == 0
                                           ? c.dat
                                           : c.dat + lines);
    std::string txt = readfile("results.txt");
    EXPECT_EQ(txt.substr(txt.size() - lines.size()), lines);
    EXPECT_EQ(txt.find(lines), txt.size() - lines.size());
    EXPECT_FALSE(fs::exists("results.pending"));
  }
  Result_free(r);
  Genome_free(g);
}

// A recheck that is not the last replaces the queue head in one rename: a one-entry queue
// is never removed on the way.
TEST_F(Queue, RecheckReplacesTheHeadWithoutRemovingTheFile) {
  run(10, 1);
  fs::create_directories("queue.txt.new/x");  // the replacement cannot be written
  run(11, 1);
  EXPECT_TRUE(fs::exists("queue.txt"));  // was deleted before the new entry failed
  std::vector<std::string> queue = loadedtexts("queue.txt");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].substr(0, queue[0].find('|')), "zsrc=500;#gen=3;#runs=1;#queued=1;");
}

// A queued result whose lattice cannot be read is kept (told apart from a missing one); a
// queued result that fails its check is removed with one plain line, never a question.
TEST_F(Queue, UnreadableLatticeKeepsTheEntryAndAFailingEntryIsRemoved) {
  const std::string lines = queued(5, 1, 4);
  char* lat = nullptr;
  for (const char* unreadable : {"lattices/demo.txt", "lattices"}) {
    SCOPED_TRACE(unreadable);
    fs::rename("lattices", "kept");
    if (std::string(unreadable) == "lattices") {
      fs::create_directory_symlink("lattices", "lattices");  // a loop: cannot be listed
    } else {
      fs::create_directory("lattices");
      fs::create_symlink("demo.txt", "lattices/demo.txt");  // a loop: cannot be opened
    }
    lattice_exists(LATTICE_EXISTS_RESET);
    writefile("queue.txt", lines);
    EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
    EXPECT_EQ(readfile("queue.txt"), lines);
    EXPECT_EQ(messages.all.back(), "Lattice file demo cannot be read; its queued result is kept");
    fs::remove_all("lattices");
    fs::rename("kept", "lattices");
    lattice_exists(LATTICE_EXISTS_RESET);
  }
  lattice("demo", "S1 1 2 4");  // edited: the entry's check value no longer holds
  messages.all.clear();
  EXPECT_EQ(getqueuedresult(&lat, ordaxchecksum, &q).count, -1);
  EXPECT_FALSE(fs::exists("queue.txt"));
  EXPECT_EQ(messages.all, (std::vector<std::string>{
                              "Removed queued result of demo that fails its check value"}));
  EXPECT_EQ(lat, nullptr);
}

// A stored run count at the largest integer counts as enough runs rather than wrapping round
// to a negative count that would keep the entry in quarantine for ever.
TEST_F(Queue, LargestRunCountDoesNotWrap) {
  writefile("queue.txt", queued(9, INT32_MAX, 7));
  char* lat = nullptr;
  Genome head = getqueuedresult(&lat, ordaxchecksum, &q);
  ASSERT_NE(head.count, -1);
  genomeresult(&head, 9, 1, "demo", ordaxchecksum, "", &results, &RUNFORMAT, &q);
  EXPECT_TRUE(messages.has("Quarantined result has now been run 2147483647 of 5 times"));
  EXPECT_FALSE(q.active);
  EXPECT_EQ(results.count, 1u);
  EXPECT_FALSE(fs::exists("queue.txt"));
  free(lat);
  Genome_free(head);
}
