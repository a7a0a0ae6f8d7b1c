"""The XML configuration as the daemon reads it at start-up."""

import os
import signal
import socket
import unittest

import harness

LISTEN_ERROR = "Cannot load listen tag because of "
NO_LISTENER = "there is no valid listeners in config"
DOCTYPE = "a document type declaration (DOCTYPE) on line %d: DTDs and entities are not accepted"


def with_doctype(declarations, text, name="velmod-proxy"):
    """A usable configuration with a document type declaration in front; `text`
    goes into the cache-root element, where entity references would expand."""
    body = harness.config_xml([(harness.listen_spec(0), ["tcp/127.0.0.1:1"])], cache_root="CACHE")
    doctype = "<!DOCTYPE %s%s>" % (name, " [%s]" % declarations if declarations else "")
    return body.replace("?>\n", "?>\n" + doctype + "\n", 1).replace("CACHE", text)


# One 20 KB entity referenced 20,000 times: 80 KB of file, 400 MB expanded.
QUADRATIC = with_doctype('<!ENTITY e "%s">' % ("x" * 20000), "&e;" * 20000)
LAUGHS = with_doctype("".join('<!ENTITY l%d "%s">' % (i, ("&l%d;" % (i - 1)) * 10 if i else "lol")
                              for i in range(10)), "&l9;")


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

    def test_a_document_type_declaration_is_refused_at_start_and_at_reload(self):
        rows = [
            ("quadratic", QUADRATIC),
            ("billion laughs", LAUGHS),
            ("external entity", with_doctype('<!ENTITY x SYSTEM "file:///etc/hostname">', "&x;")),
            ("external DTD", with_doctype("", "c").replace("velmod-proxy>", 'velmod-proxy SYSTEM "x.dtd">', 1)),
            ("bare", with_doctype("", "c")),
        ]
        for name, config in rows:
            with self.subTest(name):
                d = self.start_daemon(config=config)
                d.wait_for("Service failed because of")
                self.assertExit(d, 1)
                self.assertIn("  Unable to load config file %s because of " % d.conf, d.messages("ERR"))
                self.assertIn("  " + DOCTYPE % 2, d.messages("ERR"))
                self.assertNotIn(harness.STARTED, d.log)
                # Refused before any expansion: the log never carries the entities' text.
                self.assertLess(len(d.log), 16384, d.log[-4000:])
        # At reload it ends the service as every unusable configuration does.
        upstream = self.hold_server()
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
        d.wait_started()
        since = d.mark()
        d.write_config(QUADRATIC)
        d.signal(signal.SIGHUP)
        d.wait_for(DOCTYPE % 2, since=since)
        self.assertIn("Service failed because of ", d.messages("ERR", since))
        self.assertExit(d, 1)
        self.assertLess(len(d.log) - since, 4096, d.log[since:since + 4000])

    def assertEndsOnItsOwn(self, d):
        """Ends by itself; one blocked instead must still stop on SIGINT."""
        if not harness.wait_until(lambda: not d.alive(), 10):
            d.signal(signal.SIGINT)
            self.fail("still running; SIGINT %s it" % ("stopped" if harness.wait_until(lambda: not d.alive(), 5)
                                                        else "did not stop"))
        self.assertExit(d, 1)
        self.assertIn("  Unable to load config file %s because of " % d.conf, d.messages("ERR"))

    def test_a_configuration_path_that_is_not_a_regular_file_is_refused_at_start_and_at_reload(self):
        listening = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(listening.close)
        for make in (os.mkfifo, os.mkdir, lambda path: os.symlink("/dev/null", path), listening.bind):
            d = harness.Daemon()
            self.addCleanup(d.close)
            make(d.conf)
            d.start()
            self.assertEndsOnItsOwn(d)
        # A named pipe where the file was at a reload, with no writer ever.
        d = self.start_daemon(listens=[(harness.listen_spec(0), [self.hold_server().spec])])
        d.wait_started()
        os.unlink(d.conf)
        os.mkfifo(d.conf)
        d.signal(signal.SIGHUP)
        self.assertEndsOnItsOwn(d)
        self.assertIn("  it is not a regular file (a named pipe)", d.messages("ERR"))

if __name__ == "__main__":
    unittest.main()
