"""The XML configuration as the daemon reads it at start-up."""

import socket
import unittest

import harness

LISTEN_ERROR = "Cannot load listen tag because of "
NO_LISTENER = "there is no valid listeners in config"


class ConfigTest(harness.DaemonTestCase):
    def test_failed_listen_elements_are_skipped_with_their_error(self):
        upstream = self.hold_server()
        listens = [
            (None, [upstream.spec]),                            # no spec attribute
            (harness.listen_spec(0), [None]),                   # its only forward has no `to`
            ("ip(127.0.0.1),port(99999)", [upstream.spec]),     # port out of range
            (harness.listen_spec(0), ["foo/bar", upstream.spec]),  # a bad `to` is kept
        ]
        d = self.start_daemon(listens=listens)
        d.wait_started()
        errors = d.messages("ERR")
        self.assertEqual(errors.count(LISTEN_ERROR), 3, errors)
        for reason in ("  empty server spec",
                       "  must be at least one forward child tag in listen[2] tag"):
            self.assertIn(reason, errors)
            self.assertEqual(errors[errors.index(reason) - 1], LISTEN_ERROR)
        self.assertIn("Cannot parse client spec foo/bar because of ", errors)
        self.assertIn("  unknown protocol name foo", errors)
        self.assertEqual(len(d.listen_ports()), 1, "only the fourth element listens")
        self.assertStops(d)

    def test_a_configuration_without_a_usable_listener_ends_the_service(self):
        upstream = self.hold_server()
        # A live listener on a port: address reuse never lets a second one in.
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        rows = [  # configuration text (None: no file), reasons among the error lines
            (harness.config_xml([(harness.listen_spec(taken.getsockname()[1]), [upstream.spec])]), []),
            (harness.config_xml([(harness.listen_spec(0), [upstream.spec])], root="velmo-proxy"), [NO_LISTENER]),
            (harness.config_xml([(None, [upstream.spec])]), [NO_LISTENER, "  empty server spec"]),
            (None, ["Unable to load config file %s because of", "No such file or directory"]),
            ("<velmod-proxy><listen spec='ip()'></velmod-proxy>\n", ["Unable to load config file %s because of"]),
        ]
        for config, reasons in rows:
            with self.subTest(config=config):
                d = self.start_daemon(config=config)
                d.wait_for("Service failed because of")
                self.assertExit(d, 1)
                errors = d.messages("ERR")
                self.assertIn("Service failed because of ", errors)
                for reason in reasons:
                    reason = reason.replace("%s", d.conf)
                    self.assertTrue(any(reason in e for e in errors), "%r not in %r" % (reason, errors))
                self.assertNotIn("parser error", d.stderr, "libxml2 writes nothing of its own")
                self.assertNotIn(harness.STARTED, d.log)


if __name__ == "__main__":
    unittest.main()
