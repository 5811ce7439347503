#!/usr/bin/python3
"""The operator's page, Status > Carrier cloud, on the router's real web
stack (uhttpd, rpcd, LuCI 21.02.5 in a root of their own, see
webroot.py) in Debian's Chromium, while the real agent is walked from a
fresh start to OVIMAR_FINISHED by the demo's platform.

Runs as root in a private router with a network namespace of its own
(CMakeLists.txt: `private_router unshare -n`), so its ports are fixed.
"""
import os
import re
import sys
import unittest

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webroot  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

# What an operator reads for each state (the page's own words).
WORDS = {
    'OVIMAR_HTTPS_AUTH': 'Logging in to the platform',
    'OVIMAR_HTTPS_GET_SERVER': 'Asking the platform for its broker',
    'OVIMAR_MQTT_CONNECT': 'Connecting to the broker',
    'OVIMAR_MQTT_CONNECTING': 'Waiting for the broker to accept',
    'OVIMAR_MQTT_RECONNECT': 'Reconnecting to the broker',
    'OVIMAR_MQTT_CONNECTED': 'Connected, synchronising',
    'OVIMAR_MQTT_APP_AUTH': 'Connected, waiting for an app to bind',
    'OVIMAR_FINISHED': 'Bound and managed',
}
NOT_RUNNING = 'The carrier cloud agent is not running'
MENU_ENTRY = 'Carrier cloud'


def shown(drv):
    """The page's rows as {name: text}, hidden rows left out, or None."""
    return drv.execute_script("""
        var t = document.getElementById('ovimar-table');
        if (!t || t.style.display == 'none') return null;
        var out = {};
        t.querySelectorAll('.tr').forEach(function(r) {
            if (r.style.display != 'none')
                out[r.id.replace('ovimar-row-', '')] = r.querySelector('.value').textContent;
        });
        return out;""")


def note(drv):
    return drv.execute_script(
        "var n = document.getElementById('ovimar-note'); return n ? n.textContent : null;")


class CarrierCloudPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = webroot.Stack()
        cls.addClassCleanup(cls.stack.close)
        cls.stack.start_web()
        cls.drv = cls.stack.browser()

    def login(self):
        drv = self.drv
        drv.delete_all_cookies()
        drv.get(self.stack.url('/cgi-bin/luci/'))
        drv.find_element(By.ID, 'luci_username').clear()
        drv.find_element(By.ID, 'luci_username').send_keys('root')
        drv.find_element(By.ID, 'luci_password').send_keys(self.stack.root_password)
        drv.find_element(By.ID, 'luci_password').submit()
        # The redirect races the next navigation: wait for the form to go.
        webroot.wait(lambda: not drv.find_elements(By.ID, 'luci_password'), 'the login form to go')
        webroot.wait(lambda: drv.find_elements(By.CSS_SELECTOR, '#topmenu a, .nav a'),
                     'the menu after login')

    def menu_link(self):
        """The Status menu's link to the page, or None."""
        self.drv.get(self.stack.url('/cgi-bin/luci/admin/status/overview'))
        webroot.wait(lambda: self.drv.find_elements(By.XPATH, '//a[text()="Overview"]'),
                     'the Status menu')
        links = self.drv.find_elements(By.XPATH, '//a[text()="%s"]' % MENU_ENTRY)
        return links[0].get_attribute('href') if links else None

    def wait_shown(self, what, cond):
        return webroot.wait(lambda: (lambda s: s if s and cond(s) else None)(shown(self.drv)),
                            what, timeout=90)

    def assert_live(self, page, status):
        """Every row as the live status says it, secrets nowhere."""
        self.assertEqual(page['state'], WORDS[status['state_name']])
        secs = int(re.search(r'\((\d+) s ago\)', page['since']).group(1))
        # The page's figure is its last poll's: two poll periods of slack.
        self.assertLessEqual(abs(secs - status['state_seconds']), 5, page['since'])
        broker = ('%s:%d' % (status['broker_address'], status['broker_port'])
                  if status['broker_address'] else 'Not yet named by the platform')
        self.assertEqual(page['broker'], broker)
        self.assertEqual(page['bound'], 'Yes' if status['bound'] else 'No')
        self.assertEqual(page['sessions'], str(status['connected_times']))
        if status['last_result'] == -1:
            self.assertEqual(page['answer'], 'None yet')
        elif status['last_result'] == 0:
            self.assertEqual(page['answer'], '%s: success' % status['last_method'])
        else:
            self.assertEqual(page['answer'],
                             '%s: error %d' % (status['last_method'], status['last_result']))
        # Retries are shown only where no session stands.
        retrying = status.get('failures', 0) > 0 and status['state_name'] not in (
            'OVIMAR_MQTT_CONNECTED', 'OVIMAR_MQTT_APP_AUTH', 'OVIMAR_FINISHED')
        self.assertEqual('failures' in page, retrying, page)
        if retrying:
            self.assertEqual(page['failures'], str(status['failures']))
            self.assertRegex(page['next'], r'^at \d\d:\d\d:\d\d \(in \d+ (s|min)\)$')

    def same_as_live(self, want_state, cond=lambda s: True):
        """Waits until the page and the live status agree, in want_state."""
        def agree():
            page = shown(self.drv)
            status = self.stack.status()
            if not page or not status or status['state_name'] != want_state or not cond(status):
                return None
            try:
                self.assert_live(page, status)
            except AssertionError:
                return None
            return page, status
        found = webroot.wait(agree, 'the page to show %s as the agent has it' % want_state,
                             timeout=90)
        self.assert_live(*found)  # once more, to fail with the difference
        return found

    def test_1_walk_from_fresh_start_to_finished(self):
        stack, drv = self.stack, self.drv
        # The web stack as a router runs it: instances of procd's.
        for service in ('rpcd', 'uhttpd'):
            self.assertGreater(stack.instance_pid(service), 0, service)
        self.login()
        href = self.menu_link()
        self.assertIsNotNone(href, 'Status has no "%s" entry' % MENU_ENTRY)
        drv.get(href)
        self.assertIn('/admin/status/ovimar', drv.current_url)
        # No agent yet: a sentence, no table, no exception.
        webroot.wait(lambda: NOT_RUNNING in (note(drv) or ''), 'the not-running sentence')
        self.assertIsNone(shown(drv))
        self.assertFalse(drv.find_elements(By.CSS_SELECTOR, '.alert-message.error'))

        # A fresh device whose platform is not up yet: it fails and retries.
        stack.start_peers()
        stack.start_agent()
        self.wait_shown('the login state', lambda s: s['state'] == WORDS['OVIMAR_HTTPS_AUTH'])
        if 'failures' in (stack.status() or {}):
            page, status = self.same_as_live('OVIMAR_HTTPS_AUTH',
                                             lambda s: s['failures'] > 0)
            self.assertIn('next', page)
        stack.start_platform()
        self.same_as_live('OVIMAR_MQTT_APP_AUTH')
        stack.bind()
        page, status = self.same_as_live('OVIMAR_FINISHED')
        self.assertEqual(page['bound'], 'Yes')
        self.assertNotIn('failures', page)
        stack.screenshot(drv)

        # Stopped: the page says so in words at its next poll.
        stack.stop_agent()
        webroot.wait(lambda: NOT_RUNNING in (note(drv) or ''), 'the not-running sentence')
        self.assertIsNone(shown(drv))

        # Nothing secret in the page or in anything the browser received.
        secrets = stack.secrets()
        self.assertTrue(secrets)
        bodies = stack.received(drv) + [drv.page_source]
        self.assertGreater(len(bodies), 10)
        self.assertTrue(any('"state_name"' in b for b in bodies), 'no status answer seen')
        for b in bodies:
            for s in secrets:
                self.assertNotIn(s, b)
            self.assertIsNone(re.search(r'\bck-\d+-\d+\b', b), 'a platform cookie')

    def test_2_without_the_acl(self):
        stack, drv = self.stack, self.drv
        stack.start_agent()
        stack.drop_acl()
        self.login()
        self.assertIsNone(self.menu_link(), 'the entry is listed without its ACL')
        # The call itself, made as the page makes it, is denied by rpcd.
        code = drv.execute_async_script("""
            var done = arguments[arguments.length - 1];
            L.require('rpc').then(function(rpc) {
                return rpc.declare({ object: 'ovimar', method: 'status' })();
            }).then(function(r) { done(r); }, function(e) { done(String(e)); });""")
        self.assertIn('Access denied', str(code))
        drv.get(self.stack.url('/cgi-bin/luci/admin/status/ovimar'))
        self.assertIsNone(shown(drv))


if __name__ == '__main__':
    unittest.main(verbosity=2)
