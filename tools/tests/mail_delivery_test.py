#!/usr/bin/python3
"""Scheduled reports delivered by mail, end to end, with real components on loopback.

A copy of the example installation with a small catalog, krreportd and krcatalogd running, an
SMTP server (aiosmtpd) on 127.0.0.1 and msmtp as the sendmail program, named in the [mail]
stanza of the installation's reports.cfg. Jobs are scheduled with `krreport job schedule` and
run once with the command line of the shipped krreport-job@.service; the messages the server
receives are read with Python's email package, as a mail client reads them.

    mail_delivery_test.py BUILD_DIR SOURCE_DIR
"""

import email
import email.policy
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from aiosmtpd.controller import Controller

BIN = SOURCE = None
JOBS = 3000  # jobs in the test catalog: the job export's record count


class Inbox:
    """The SMTP server's handler: keeps each message; refuses one domain's recipients."""

    def __init__(self):
        self.messages = []

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.endswith("@refused.example.org"):
            return "550 5.7.1 relaying to refused.example.org denied"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 Message accepted"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Installation:
    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="krmail.")
        self.processes = []
        shutil.copytree(os.path.join(SOURCE, "examples"), self.home, dirs_exist_ok=True)
        with open(os.path.join(self.home, "config/configure.cfg"), "w") as f:
            f.write(f"[Directories]\nReports = {self.home}/reports\n\n"
                    "[Details]\nDescription = \"Mail test domain\"\n")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("KR_")}
        self.env.update(KR_HOME=self.home, KR_MACHINE="mailhost", KR_TRACE_FILE="none",
                        KR_TIMEOUT_SCALE="0.2")

    def start(self, *argv):
        p = subprocess.Popen(argv, env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        self.processes.append(p)
        line = p.stdout.readline()  # "ready" once others can find it
        if line.strip() != "ready":
            raise RuntimeError(f"{argv[0]} did not start: {line}{p.stdout.read()}")

    def stop(self):
        for p in reversed(self.processes):
            p.terminate()
        for p in self.processes:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.home, ignore_errors=True)

    def krreport(self, *args, timeout=60):
        return subprocess.run([os.path.join(BIN, "krreport"), *args], env=self.env,
                              capture_output=True, text=True, timeout=timeout)


def service_command(name):
    """The command line krreport-job@NAME.service runs, with the build's krreport."""
    with open(os.path.join(SOURCE, "packaging/systemd/krreport-job@.service.in")) as f:
        line = next(l for l in f if l.startswith("ExecStart="))
    line = line[len("ExecStart="):].strip()
    line = line.replace("@KR_PREFIX@/@CMAKE_INSTALL_BINDIR@", BIN).replace("%i", name)
    return line.split()


class MailDelivery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.inbox = Inbox()
        try:
            cls.controller = Controller(cls.inbox, hostname="127.0.0.1", port=free_port())
            cls.controller.start()
            rc = os.path.join(cls.inst.home, "msmtprc")
            with open(rc, "w") as f:
                f.write(f"defaults\nauth off\ntls off\ntimeout 10\n"
                        f"account default\nhost 127.0.0.1\nport {cls.controller.port}\n"
                        "from reports@example.org\n")
            os.chmod(rc, 0o600)
            cls.sendmail = f"/usr/bin/msmtp -C {rc}"
            with open(os.path.join(cls.inst.home, "config/reports.cfg"), "a") as f:
                f.write(f"\n[mail]\nsendmail = {cls.sendmail}\n")
            subprocess.run([os.path.join(BIN, "krcatalogd"), "generate", "--jobs", str(JOBS),
                            os.path.join(cls.inst.home, "catalog.db")], env=cls.inst.env,
                           check=True, capture_output=True, timeout=60)
            cls.inst.start(os.path.join(BIN, "krreportd"))
            cls.inst.start(os.path.join(BIN, "krcatalogd"), "serve", "--catalog",
                           os.path.join(cls.inst.home, "catalog.db"))
            cls.units = os.path.join(cls.inst.home, "units")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "controller", None) is not None:
            cls.controller.stop()
        cls.inst.stop()

    def schedule(self, name, *args):
        r = self.inst.krreport("job", "schedule", name, "--unit-dir", self.units, *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def run_job(self, name):
        """Runs the job as its service would; the message it sent, parsed, and the report's
        output directory."""
        before = len(self.inbox.messages)
        r = subprocess.run(service_command(name), env=self.inst.env, capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        directory = r.stdout.strip().splitlines()[-1]
        self.assertTrue(os.path.isdir(directory), r.stdout)
        for _ in range(100):  # the server hands the message over as the transport finishes
            if len(self.inbox.messages) > before:
                break
            time.sleep(0.05)
        self.assertEqual(len(self.inbox.messages), before + 1, r.stderr)
        sender, recipients, content = self.inbox.messages[-1]
        return email.message_from_bytes(content, policy=email.policy.default), recipients, \
            directory

    def test_html_summary_with_inline_image_and_text_alternative(self):
        self.schedule("weekly", "--template", "weeklyclients", "--on-calendar", "Mon *-*-* 06:00",
                      "--mail-to", "Ops Team <ops@example.org>",
                      "--subject", "%REPORTNAME: %NUMRECORDS jobs on %SERVERNAME")
        message, recipients, directory = self.run_job("weekly")
        self.assertEqual(recipients, ["ops@example.org"])
        self.assertRegex(message["subject"], r"^Weekly jobs by client: [\d,]+ jobs on mailhost$")
        self.assertEqual(message.get_content_type(), "multipart/alternative")
        plain = message.get_body(preferencelist=("plain",))
        html = message.get_body(preferencelist=("html",))
        self.assertIn("Weekly jobs by client", plain.get_content())
        self.assertNotIn("<td>", plain.get_content())
        page = html.get_content()
        cids = re.findall(r'src="cid:([^"]+)"', page)
        self.assertTrue(cids, page[:400])
        parts = {p["Content-ID"].strip("<>"): p for p in message.walk() if p["Content-ID"]}
        with open(os.path.join(SOURCE, "examples/reports/headers/Weekly/images/logo.png"),
                  "rb") as f:
            logo = f.read()
        for cid in cids:
            self.assertIn(cid, parts)
            self.assertEqual(parts[cid].get_content(), logo)
        # The page in the message is the page on disk, its image references apart (line ends
        # are the transport's: CR LF on the way, as SMTP has them).
        with open(os.path.join(directory, "output.html"), encoding="utf-8") as f:
            on_disk = f.read()
        self.assertTrue(re.sub(r'src="cid:[^"]+"', 'src="logo.png"', page)
                        .replace("\r\n", "\n") == on_disk)
        r = self.inst.krreport("job", "list", "--unit-dir", self.units)
        self.assertRegex(r.stdout, r"weekly +Mon \*-\*-\* 06:00 +weeklyclients .* yes +"
                                   r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ok")

    def test_csv_attached_byte_for_byte_to_two_recipients(self):
        self.schedule("export", "--template", "csvexport", "--on-calendar", "daily",
                      "--mail-to", "a@example.org,b@example.org", "--store")
        message, recipients, directory = self.run_job("export")
        self.assertEqual(recipients, ["a@example.org", "b@example.org"])
        self.assertEqual(message["subject"], f"Job export: {JOBS:,} records")
        attachments = list(message.iter_attachments())
        self.assertEqual([a.get_filename() for a in attachments], ["job-export.csv"])
        self.assertEqual(attachments[0].get_content_type(), "text/csv")
        with open(os.path.join(directory, "output.txt"), "rb") as f:
            self.assertEqual(attachments[0].get_payload(decode=True), f.read())
        self.assertIn(f"{JOBS:,} records", message.get_body(preferencelist=("plain",))
                      .get_content())

    def test_empty_report_sent_with_its_text_unless_skipped(self):
        nothing = ["run", "--template", "dailyfailures", "--include", "%status = NoSuchStatus",
                   "--mail-to", "ops@example.org", "--quiet"]
        before = len(self.inbox.messages)
        # Into a named output directory, which is swapped into place before it is mailed.
        r = self.inst.krreport(*nothing, "-o", "nothing-failed",
                               "--subject", "%REPORTNAME: %NUMRECORDS jobs")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.strip().endswith("/nothing-failed"), r.stdout)
        self.assertEqual(len(self.inbox.messages), before + 1)
        message = email.message_from_bytes(self.inbox.messages[-1][2], policy=email.policy.default)
        self.assertEqual(message["subject"], f"Daily failures: 0 jobs")
        self.assertIn("Nothing failed in the last day.", message.get_content())
        r = self.inst.krreport(*nothing, "--skip-empty")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.isdir(r.stdout.strip()))
        self.assertEqual(len(self.inbox.messages), before + 1)

    def test_failed_delivery_keeps_the_report_and_exits_3(self):
        cases = [(["--sendmail", "/nonexistent/sendmail"], "cannot run the mail program"),
                 (["--mail-to", "boss@refused.example.org"], "refused.example.org denied")]
        before = len(self.inbox.messages)
        for extra, why in cases:
            r = self.inst.krreport("run", "--template", "dailyfailures", "--quiet",
                                   "--mail-to", "ops@example.org", *extra)
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertIn(why, r.stderr)
            directory = r.stdout.strip()
            self.assertTrue(os.path.isfile(os.path.join(directory, "output.txt")), r.stdout)
            self.assertIn("the report is kept in " + directory, r.stderr)
        self.assertEqual(len(self.inbox.messages), before)

    def test_bad_addresses_and_subjects_refused_before_any_work(self):
        before = os.listdir(os.path.join(self.inst.home, "reports/output"))
        for extra in (["--mail-to", "ops@example.org\nBcc: spy@example.org"],
                      ["--mail-to", "-oQ/tmp/x"],
                      ["--mail-to", "ops@example.org", "--subject", "Report\r\nBcc: spy@x.org"],
                      ["--mail-to", "ops@example.org", "--subject", "%NOSUCH"],
                      ["--mail-to", "ops@example.org", "-o", "-"],
                      ["--subject", "no recipient"]):
            r = self.inst.krreport("run", "--template", "dailyfailures", *extra)
            self.assertEqual(r.returncode, 2, (extra, r.stderr))
            self.assertTrue(r.stderr.startswith("krreport: "), r.stderr)
        self.assertEqual(os.listdir(os.path.join(self.inst.home, "reports/output")), before)

    def test_schedule_refuses_then_removes(self):
        r = self.inst.krreport("job", "schedule", "bad", "--unit-dir", self.units, "--template",
                               "dailyfailures", "--on-calendar", "Mon *-*-* 99:00")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("calendar", r.stderr)
        self.schedule("gone", "--template", "dailyfailures", "--on-calendar", "daily")
        r = self.inst.krreport("job", "schedule", "gone", "--unit-dir", self.units, "--template",
                               "dailyfailures", "--on-calendar", "weekly")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("--replace", r.stderr)
        r = self.inst.krreport("job", "remove", "gone", "--unit-dir", self.units)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.inst.home, "jobs/gone")))
        self.assertFalse(os.path.exists(os.path.join(self.units, "krreport-job@gone.timer.d")))
        self.assertEqual(self.inst.krreport("job", "run", "gone").returncode, 1)
        self.assertFalse(os.path.exists(os.path.join(self.inst.home, "jobs/bad")))


if __name__ == "__main__":
    BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # The whole test is bounded: a hang anywhere ends it, and the processes it started with it.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(TimeoutError("time is up")))
    signal.alarm(240)
    unittest.main(argv=sys.argv[:1], verbosity=2)
