"""The daemon's command line and start-up, run as a real process."""

import os
import re
import unittest

import harness

PARSE_ERROR = "Error on parse command line: "
POSITIONAL = r"^positional options\(options without -- prefix\) aren`t allowed$"


class CommandLineTest(harness.DaemonTestCase):
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
            (["--conf", "/a.xml", "extra"], POSITIONAL),
            (["extra"], POSITIONAL),
            (["--conf=a", "--conf=b"], r"'--conf' cannot be specified more than once"),
            (["--use=x"], r"ambiguous"),  # use-console-log or use-file-log
            (["--pool-size", "abc"], r"abc.*--pool-size|--pool-size.*abc"),
            # No thread would serve the first; the system refuses the others' threads.
            (["--pool-size", "0"], r"'0'.* from 1 to 128$"),
            (["--pool-size", "-1"], r"'-1'.* from 1 to 128$"),
            (["--pool-size=129"], r"'129'.* from 1 to 128$"),
            (["--conf"], r"conf"),
        ]
        for args, pattern in cases:
            with self.subTest(args=args):
                result = harness.run(args)
                self.assertEqual((result.returncode, result.stdout), (1, ""), result.stderr)
                lines = [l for l in result.stderr.splitlines() if PARSE_ERROR in l]
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertIn(" FTL ", lines[0])
                self.assertRegex(lines[0].split(PARSE_ERROR, 1)[1], pattern)
                self.assertNotIn("is rising", result.stderr)
                self.assertNotRegex(result.stderr, "Sanitizer|runtime error")

    def test_bad_limits_in_the_environment_end_the_start(self):
        for text, named in (("nonsense_ms=1", "nonsense_ms"), ("silence_limit_ms=0", "minimum"),
                            ("alive_interval_ms=x", "alive_interval_ms=x"),
                            ("connect_timeout_ms=9223372036854775807", "above its maximum of 2592000000"),
                            ("stall_limit_ms=2592000001", 'stall_limit_ms=2592000001" is above its maximum'),
                            ("send_low_water_bytes=4294967296", "above its maximum of 4294967295")):
            with self.subTest(text=text):
                result = harness.run(["--conf", "/nonexistent.xml"], env={"VELMOD_PROXY_LIMITS": text})
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertRegex(result.stderr, r" FTL .*Error in VELMOD_PROXY_LIMITS: .*" + re.escape(named))
                self.assertNotIn("is rising", result.stderr)

    def test_pools_of_one_and_of_the_largest_size_serve(self):
        upstream = self.hold_server()
        for size in (1, 128):
            with self.subTest(size=size):
                d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], pool_size=size)
                d.wait_started()
                # Each thread logs its own start, maybe after the listeners'.
                self.assertTrue(harness.wait_until(lambda: d.count("Started thread") == size), d.log[-4000:])
                agent = harness.connect(d.listen_ports()[-1])
                self.addCleanup(agent.close)
                self.assertTrue(upstream.wait_accepted(1 if size == 1 else 2), "no upstream connection")
                self.assertStops(d)
        # The limit is a bound like the others.
        result = harness.run(["--pool-size", "2", "--conf", "/nonexistent.xml"],
                             env=harness.limits_env(pool_size_limit_count=1))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, r" FTL .*Error on parse command line: .*'2'.* from 1 to 1$")

    def test_time_bounds_at_their_maximum_start_and_relay(self):
        upstream = self.hold_server()
        month = 30 * 24 * 3600 * 1000
        env = harness.limits_env(alive_interval_ms=month, silence_limit_ms=month, stall_limit_ms=month,
                                 connect_timeout_ms=month, cache_clean_period_ms=month)
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], env=env)
        d.wait_started()
        agent = harness.connect(d.listen_ports()[-1])
        self.addCleanup(agent.close)
        self.assertTrue(upstream.wait_accepted(1))
        self.assertEqual(d.messages("wrn") + d.messages("ERR"), [])
        self.assertStops(d)

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

    def test_bad_verbosity_runs_at_info_and_an_uncreatable_log_file_falls_back_to_the_console(self):
        upstream = self.hold_server()
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], verbosity="chatty",
                              args=["--use-file-log", "/dev/null/x.log"])
        d.wait_started()
        errors = d.messages("ERR")
        self.assertIn("Bad verbosity value chatty, set to INFO", errors)
        self.assertTrue(any(m.startswith("Cannot create log file because of ") for m in errors), d.log)
        self.assertEqual(d.messages("db0"), [], "no DEBUG line at INFO")
        self.assertStops(d)

if __name__ == "__main__":
    unittest.main()
