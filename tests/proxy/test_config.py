"""The XML configuration as the daemon reads it at start-up."""

import unittest

import harness

LISTEN_ERROR = "Cannot load listen tag because of "


class ConfigTest(harness.DaemonTestCase):
    def assertServiceFails(self, d, *reasons):
        d.wait_for("Service failed because of")
        self.assertExit(d, 1)
        errors = d.messages("ERR")
        self.assertIn("Service failed because of ", errors)
        for reason in reasons:
            self.assertTrue(any(reason in e for e in errors), "%r not in %r" % (reason, errors))

    def test_listen_with_two_forwards(self):
        a, b = self.hold_server(), self.hold_server()
        d = self.start_daemon(listens=[("ip(127.0.0.1),port(0),name(edge)", [a.spec, b.spec])])
        d.wait_started()
        debug = d.messages("db0")
        for line in ("[Config/Spec] Server local endpoint is tcp/127.0.0.1:0",
                     "[Config/Spec] Server name is edge",
                     "[Config/Spec] Server discovery not specified",
                     "[Config/Spec] Client endpoint is tcp/127.0.0.1:%d" % a.port,
                     "[Config/Spec] Client endpoint is tcp/127.0.0.1:%d" % b.port):
            self.assertIn(line, debug)
        self.assertEqual(len(d.listen_ports()), 1)
        self.assertStops(d)

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

    def test_misnamed_root_has_no_listeners(self):
        upstream = self.hold_server()
        xml = harness.config_xml([(harness.listen_spec(0), [upstream.spec])], root="velmo-proxy")
        d = self.start_daemon(config=xml)
        self.assertServiceFails(d, "there is no valid listeners in config")

    def test_every_listen_failing_has_no_listeners(self):
        d = self.start_daemon(listens=[(None, ["tcp/127.0.0.1:1"])])
        self.assertServiceFails(d, "there is no valid listeners in config")
        self.assertIn("  empty server spec", d.messages("ERR"))

    def test_missing_file(self):
        d = self.start_daemon()
        self.assertServiceFails(d, "Unable to load config file %s because of" % d.conf,
                                "No such file or directory")

    def test_not_well_formed(self):
        d = self.start_daemon(config="<velmod-proxy><listen spec='ip()'></velmod-proxy>\n")
        self.assertServiceFails(d, "Unable to load config file %s because of" % d.conf)
        self.assertNotIn("parser error", d.stderr, "libxml2 writes nothing of its own")


if __name__ == "__main__":
    unittest.main()
