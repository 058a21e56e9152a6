// The mail message of a report, read back with GMime's parser as a mail client reads it, the
// checks on addresses and subjects, and the hand-over to a sendmail program. Delivery through a
// real transport and SMTP server is tested end to end by mail_delivery_test.py.

#include "mail.h"
#include "sendmail.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testing.h"

namespace {

using krmail::Report;
using krmail::Settings;

// A parsed message and what the tests read from it.
class Parsed {
 public:
  explicit Parsed(const std::string& text) {
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    message_ = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    g_object_unref(stream);
  }
  ~Parsed() {
    if (message_ != nullptr) g_object_unref(message_);
  }
  GMimeMessage* message() const { return message_; }
  GMimeObject* body() const { return g_mime_message_get_mime_part(message_); }

  static std::string Type(GMimeObject* part) {
    char* type = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(part));
    std::string text = type;
    g_free(type);
    return text;
  }
  static GMimeObject* Child(GMimeObject* multipart, int i) {
    return g_mime_multipart_get_part(GMIME_MULTIPART(multipart), i);
  }
  static int Count(GMimeObject* multipart) {
    return g_mime_multipart_get_count(GMIME_MULTIPART(multipart));
  }
  // A leaf part's content, transfer encoding undone.
  static std::string Content(GMimeObject* part) {
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(part)), out);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    std::string text(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(out);
    return text;
  }

 private:
  GMimeMessage* message_ = nullptr;
};

class MailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_mime_init();
    dir_ = kr_testing::MakeTempDir();
    report_.directory = dir_;
    report_.name = "Weekly client summary";
    report_.server = "backup1";
    report_.records = 1520;
    report_.made = 1796547600;
    settings_.to = {"ops@example.org", "Backup Team <team@example.org>"};
    settings_.from = "Reports <reports@example.org>";
  }
  void TearDown() override { kr_testing::RemoveTree(dir_); }

  std::string Build(Report::Kind kind, const std::string& body, const std::string& content,
                    bool* compressed) {
    report_.kind = kind;
    report_.body = body;
    kr_testing::WriteFile(dir_ + "/" + body, content);
    std::string message, error;
    EXPECT_EQ(krmail::BuildMessage(&message, &error, compressed, settings_, report_), 1) << error;
    return message;
  }

  std::string dir_;
  Report report_;
  Settings settings_;
};

TEST(MailCheckTest, AddressesAndSubjects) {
  for (const char* good : {"ops@example.org", "first.last+tag@mail.example.org", "root@localhost",
                           "Backup Team <team@example.org>", " <ops@example.org> "}) {
    EXPECT_EQ(krmail::CheckAddress(good), "") << good;
  }
  // Line breaks could add headers; a leading '-' could read as a transport option.
  for (const char* bad : {"ops@example.org\r\nBcc: x@example.org", "ops@example.org\n", "ops",
                          "ops@", "@example.org", "a b@example.org", "-oQ/tmp@example.org",
                          "a..b@example.org", "a.@example.org", "ops@-example.org",
                          "Team <ops@example.org> extra", "Te\"am <ops@example.org>",
                          "ops@example.org, other@example.org"}) {
    EXPECT_NE(krmail::CheckAddress(bad), "") << bad;
  }

  Report r;
  r.name = "Daily failures";
  r.records = 1520;
  r.server = "backup1";
  std::string out, error;
  ASSERT_EQ(krmail::ExpandSubject(&out, &error, "%REPORTNAME: %numrecords jobs on %SERVERNAME "
                                                "(100%%)", r), 1) << error;
  EXPECT_EQ(out, "Daily failures: 1,520 jobs on backup1 (100%)");
  EXPECT_EQ(krmail::ExpandSubject(&out, &error, "%RECORDS", r), 0);
  EXPECT_NE(error.find("unknown placeholder '%RECORDS'"), std::string::npos) << error;
  EXPECT_EQ(krmail::ExpandSubject(&out, &error, "Report\r\nBcc: x@example.org", r), 0);
  r.name = "Daily\nBcc: x@example.org";
  EXPECT_EQ(krmail::ExpandSubject(&out, &error, "%REPORTNAME", r), 0);
  EXPECT_NE(error.find("%REPORTNAME holds a line break"), std::string::npos) << error;

  Settings s;
  EXPECT_EQ(krmail::CheckSettings(s), "no recipient");
  s.to = {"ops@example.org"};
  s.subject = "%NOPE";
  EXPECT_NE(krmail::CheckSettings(s).find("%NOPE"), std::string::npos);
  EXPECT_EQ(krmail::GroupedNumber(1234567), "1,234,567");
  EXPECT_EQ(krmail::GroupedNumber(999), "999");
  EXPECT_EQ(krmail::FileNameOf("Job export (all)"), "job-export-all");
}

// The page, its text rendering and its images, as a mail client puts them together.
TEST_F(MailTest, HtmlReportGoesWithInlineImagesAndTextAlternative) {
  const std::string logo("\x89PNG\r\n\x1a\n\0\0binary\xff", 17);
  kr_testing::WriteFile(dir_ + "/logo.png", logo);
  settings_.subject = "%REPORTNAME: %NUMRECORDS jobs";
  bool compressed = true;
  const std::string text = Build(
      Report::Kind::kHtml, "output.html",
      "<html><head><style>td { color: red }</style></head><body>"
      "<img src=\"logo.png\" alt=\"Logo\"><img src='logo.png'><img src=\"http://x.org/a.png\">"
      "<h1>Weekly \xc3\xbc</h1><table><tr><th>client</th><th>size</th></tr>"
      "<tr><td>alpha</td><td>12 MB</td></tr><tr><td>\xc3\xa9</td><td>7 KB</td></tr></table>"
      "</body></html>\n",
      &compressed);
  EXPECT_FALSE(compressed);
  Parsed m(text);
  ASSERT_NE(m.message(), nullptr) << text;
  EXPECT_STREQ(g_mime_message_get_subject(m.message()), "Weekly client summary: 1,520 jobs");
  EXPECT_NE(text.find("From: Reports <reports@example.org>"), std::string::npos) << text;

  GMimeObject* body = m.body();
  ASSERT_EQ(Parsed::Type(body), "multipart/alternative");
  ASSERT_EQ(Parsed::Count(body), 2);
  const std::string plain = Parsed::Content(Parsed::Child(body, 0));
  EXPECT_EQ(Parsed::Type(Parsed::Child(body, 0)), "text/plain");
  EXPECT_NE(plain.find("client  size\nalpha   12 MB\n\xc3\xa9        7 KB\n"), std::string::npos)
      << plain;
  EXPECT_EQ(plain.find("color"), std::string::npos) << plain;

  GMimeObject* related = Parsed::Child(body, 1);
  ASSERT_EQ(Parsed::Type(related), "multipart/related");
  ASSERT_EQ(Parsed::Count(related), 2) << "one part for the image however often it is shown";
  const std::string html = Parsed::Content(Parsed::Child(related, 0));
  GMimeObject* image = Parsed::Child(related, 1);
  EXPECT_EQ(Parsed::Type(image), "image/png");
  EXPECT_EQ(Parsed::Content(image), logo);
  const std::string cid = g_mime_object_get_content_id(image);
  EXPECT_NE(html.find("src=\"cid:" + cid + "\" alt"), std::string::npos) << html;
  EXPECT_NE(html.find("<img src=\"cid:" + cid + "\">"), std::string::npos) << html;
  EXPECT_NE(html.find("src=\"http://x.org/a.png\""), std::string::npos) << html;
  EXPECT_NE(html.find("Weekly \xc3\xbc"), std::string::npos) << html;
}

// Attachments arrive byte for byte; plain text is the message itself.
TEST_F(MailTest, CsvAttachedByteForByteTextInline) {
  const std::string csv = "id,client\r\n1,\"a, b\"  \r\n2,\xc3\xa9t\xc3\xa9\n.\n\n";
  bool compressed = false;
  Parsed m(Build(Report::Kind::kCsv, "output.txt", csv, &compressed));
  GMimeObject* body = m.body();
  ASSERT_EQ(Parsed::Type(body), "multipart/mixed");
  ASSERT_EQ(Parsed::Count(body), 2);
  EXPECT_NE(Parsed::Content(Parsed::Child(body, 0)).find("1,520 records"), std::string::npos);
  GMimeObject* file = Parsed::Child(body, 1);
  EXPECT_EQ(Parsed::Type(file), "text/csv");
  EXPECT_STREQ(g_mime_part_get_filename(GMIME_PART(file)), "weekly-client-summary.csv");
  EXPECT_EQ(Parsed::Content(file), csv);

  const std::string txt = "Nothing failed in the last day.\n";
  Parsed t(Build(Report::Kind::kText, "output.txt", txt, &compressed));
  EXPECT_EQ(Parsed::Type(t.body()), "text/plain");
  EXPECT_EQ(Parsed::Content(t.body()), txt);
}

// Over the limit the body goes compressed; over it even so, nothing goes.
TEST_F(MailTest, SizeLimitCompressesThenRefuses) {
  std::string csv;
  for (int i = 0; i < 20000; ++i) csv += std::to_string(i) + ",client" + std::to_string(i % 7) + "\n";
  settings_.max_size = 100000;
  bool compressed = false;
  Parsed m(Build(Report::Kind::kCsv, "output.txt", csv, &compressed));
  EXPECT_TRUE(compressed);
  GMimeObject* gz = Parsed::Child(m.body(), 1);
  EXPECT_EQ(Parsed::Type(gz), "application/gzip");
  EXPECT_STREQ(g_mime_part_get_filename(GMIME_PART(gz)), "weekly-client-summary.csv.gz");
  GMimeStream* out = g_mime_stream_mem_new();
  GMimeStream* filtered = g_mime_stream_filter_new(out);
  GMimeFilter* gunzip = g_mime_filter_gzip_new(GMIME_FILTER_GZIP_MODE_UNZIP, 0);
  g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), gunzip);
  const std::string packed = Parsed::Content(gz);
  g_mime_stream_write(filtered, packed.data(), packed.size());
  g_mime_stream_flush(filtered);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) == csv);
  g_object_unref(gunzip);
  g_object_unref(filtered);
  g_object_unref(out);

  settings_.max_size = 2000;
  std::string message, error;
  EXPECT_EQ(krmail::BuildMessage(&message, &error, &compressed, settings_, report_), 0);
  EXPECT_NE(error.find("too large to mail"), std::string::npos) << error;
  EXPECT_NE(error.find("--mail-max-size"), std::string::npos) << error;
}

// The command line a transport gets, the message whole on its input, and its own words when it
// fails.
TEST_F(MailTest, HandOverToSendmailProgram) {
  const std::string program = dir_ + "/sendmail";
  kr_testing::WriteFile(program,
                        "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\ncat > \"$0.message\"\n"
                        "[ -e \"$0.refuse\" ] && { echo 'smtp: 550 relaying denied' >&2; exit 75; }"
                        "\nexit 0\n");
  chmod(program.c_str(), 0755);
  settings_.sendmail = program + "  -C  /etc/other.conf";
  std::string message(300000, 'x');
  message += "\n.\nend\n";
  std::string error;
  ASSERT_EQ(krmail::HandOver(&error, settings_, message, nullptr), 1) << error;
  EXPECT_EQ(kr_testing::ReadFile(program + ".args").value_or(""),
            "-C\n/etc/other.conf\n-i\n-f\nreports@example.org\n--\nops@example.org\n"
            "team@example.org\n");
  EXPECT_EQ(kr_testing::ReadFile(program + ".message").value_or(""), message);

  kr_testing::WriteFile(program + ".refuse", "");
  EXPECT_EQ(krmail::HandOver(&error, settings_, "x\n", nullptr), 0);
  EXPECT_NE(error.find("failed with exit status 75:\n  smtp: 550 relaying denied"),
            std::string::npos) << error;

  settings_.sendmail = dir_ + "/no-such-sendmail";
  EXPECT_EQ(krmail::HandOver(&error, settings_, "x\n", nullptr), 0);
  EXPECT_NE(error.find("cannot run the mail program '" + settings_.sendmail + "'"),
            std::string::npos) << error;
}

}  // namespace
