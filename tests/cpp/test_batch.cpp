// The batch's rules: its records, the check of a file read, archive names.
#include <gtest/gtest.h>

#include "fake_log.h"
#include "pipeline/batch.h"

using namespace brivane::pipeline;

namespace {

TEST(BatchCourse, RecordsEachFileAndTheTotals) {
  FakeLog log;
  BatchCourse course(3, log);
  for (bool corrected : {true, false, true}) {
    course.starting("a.srt");
    course.finished(corrected);
  }
  course.summary();
  EXPECT_EQ(log.records.front(), "I 开始处理字幕文件，共3个文件");
  EXPECT_EQ(log.records[2], "I 文件处理进度: 33.33% (1/3)");
  EXPECT_EQ(log.records[6], "I 文件处理进度: 100.00% (3/3)");
  EXPECT_EQ(log.records.back(), "I 字幕文件处理完成，成功: 2，失败: 1");
}

TEST(CheckReadFile, RefusesAFileWithoutCuesAndNamesTheLinesKept) {
  FakeLog log;
  EXPECT_EQ(check_read_file(0, {1}, "x.srt", log), "未能从字幕文件中解析出任何字幕块: x.srt");
  EXPECT_FALSE(check_read_file(0, {}, "empty.srt", log));  // an empty file is no failure
  std::vector<std::size_t> lines{3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23};
  EXPECT_FALSE(check_read_file(2, lines, "x.srt", log));
  EXPECT_EQ(log.records, (std::vector<std::string>{
                             "W 11个片段无法识别为字幕块，已原样保留 (行 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, …)"}));
}

TEST(ArchiveNames, ALaterFileOfATakenNameIsNumberedBeforeItsExtension) {
  EXPECT_EQ(archive_names({"terms.json", "config.json", "terms.json", "terms.json", ".env", ".env",
                           "a.b.json", "a.b.json"}),
            (std::vector<std::string>{"terms.json", "config.json", "terms_2.json", "terms_3.json",
                                      ".env", ".env_2", "a.b.json", "a.b_2.json"}));
}

}  // namespace
