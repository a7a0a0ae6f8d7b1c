"""The daemon's command line and start-up, run as a real process."""

import os
import re
import unittest

import harness

PARSE_ERROR = "Error on parse command line: "


class CommandLineTest(harness.DaemonTestCase):
    def assertRejected(self, args, reason_pattern):
        result = harness.run(args)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        lines = [l for l in result.stderr.splitlines() if PARSE_ERROR in l]
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(" FTL ", lines[0])
        self.assertRegex(lines[0].split(PARSE_ERROR, 1)[1], reason_pattern)
        self.assertNotIn("is rising", result.stderr)
        self.assertNotRegex(result.stderr, "Sanitizer|runtime error")

    def test_help_prints_usage_on_stdout_and_exits_1(self):
        for args in (["--help"], ["--help", "--daemon", "--pool-size=3"]):
            result = harness.run(args)
            self.assertEqual(result.returncode, 1)
            self.assertTrue(result.stdout.startswith("\nUsage: velmod-proxy [switches]\nAllowed options:\n"),
                            result.stdout)
            for option in ("--conf arg", "--cfg arg", "--pool-size arg (=2)", "--verbosity arg (=trace3)"):
                self.assertIn(option, result.stdout)
            self.assertEqual(result.stderr, "", "help logs nothing")

    def test_rejected_command_lines(self):
        cases = [
            (["--no-such-option"], r"--no-such-option"),
            (["-h"], r"'-h'"),
            (["--help", "-x"], r"'-x'"),
            (["--conf", "/a.xml", "extra"],
             r"^positional options\(options without -- prefix\) aren`t allowed$"),
            (["--pool-size", "abc"], r"abc.*--pool-size|--pool-size.*abc"),
            (["--conf"], r"conf"),
        ]
        for args, pattern in cases:
            with self.subTest(args=args):
                self.assertRejected(args, pattern)

    def test_conf_wins_over_deprecated_cfg(self):
        upstream = self.hold_server()
        good = harness.config_xml([(harness.listen_spec(0), [upstream.spec])], cache_root="cache")
        # --cfg alone names the file that is read.
        d = self.start_daemon(config=good, conf_option="--cfg")
        d.wait_started()
        self.assertStops(d)
        # With both, --conf is read, whatever their order.
        for order in ("conf-first", "cfg-first"):
            with self.subTest(order=order):
                d = harness.Daemon(config=good)
                self.addCleanup(d.close)
                missing = os.path.join(d.dir, "missing.xml")
                cfg = ["--cfg", d.conf]
                d.argv[1:3] = ["--conf", missing] + cfg if order == "conf-first" else cfg + ["--conf", missing]
                d.start()
                d.wait_for("Unable to load config file %s because of" % missing)
                self.assertExit(d, 1)

    def test_banner_and_log_file_carry_one_release_text(self):
        upstream = self.hold_server()
        # Files of 1 KiB, unpacked: the start-up alone rotates, and each new
        # file begins with the version line.
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], log_file=True,
                              args=["--rotate", "9p,1k"])
        d.wait_started()
        log_dir = os.path.dirname(d.log_path)
        text = ""
        for name in os.listdir(log_dir):
            with open(os.path.join(log_dir, name), errors="replace") as f:
                text += f.read()
        banner = re.search(r"velmod-proxy (.+) is rising", text)
        version = re.search(r"New logfile has been created by software version (.+)", text)
        self.assertIsNotNone(banner, text)
        self.assertIsNotNone(version, text)
        self.assertEqual(banner.group(1), version.group(1))
        self.assertEqual(d.stderr, "", "a file log alone writes nothing to the console")
        self.assertStops(d)

    def test_log_file_that_cannot_be_created_falls_back_to_the_console(self):
        upstream = self.hold_server()
        d = harness.Daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
        self.addCleanup(d.close)
        blocker = os.path.join(d.dir, "plain-file")
        open(blocker, "w").close()
        d.argv += ["--use-file-log", os.path.join(blocker, "x.log")]
        d.start()
        d.wait_started()
        self.assertTrue(any(m.startswith("Cannot create log file because of ") for m in d.messages("ERR")), d.log)
        self.assertStops(d)

    def test_bad_verbosity_runs_at_info(self):
        upstream = self.hold_server()
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], verbosity="chatty")
        d.wait_started()
        self.assertIn("Bad verbosity value chatty, set to INFO", d.messages("ERR"))
        self.assertEqual(d.messages("db0"), [], "no DEBUG line at INFO")
        self.assertStops(d)


if __name__ == "__main__":
    unittest.main()
