"""The router's web stack beside the real agent, for the browser test: a
root of its own (webroot.sh) where ubusd, procd, rpcd and
uhttpd run chrooted, with the demo's peers (Debian's mosquitto, the
simulated platform and carrier service) and the agent from the build.

Needs root in private mount and network namespaces (fixed ports on lo).
Every process started here is stopped by its PID in close().
"""
import json
import os
import secrets
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get('OVIMAR_BUILD', os.path.join(TOP, 'build'))
WEB_PORT = int(os.environ.get('OVIMAR_WEB_PORT', '8080'))
PLATFORM_PORT = 8443
BROKER_PORT = 8883
BOOT_SH = os.path.join(TOP, 'tests', 'support', 'router_boot.sh')
BOOT_ENV = os.path.join(BUILD, 'router_boot.env')


def wait(cond, what, timeout=60):
    """cond()'s first truthy value; fails naming what after timeout s."""
    end = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > end:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.1)


def run(*argv, **kw):
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise AssertionError('%s: exit %d: %s' % (' '.join(argv), r.returncode, r.stderr))
    return r.stdout


class Stack:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='ovimar-web.')
        self.procs = []
        self.driver = None
        self.logs = os.path.join(self.dir, 'logs')
        os.makedirs(self.logs)
        run('ip', 'link', 'set', 'lo', 'up')
        self.root = run(os.path.join(HERE, 'webroot.sh'), os.path.join(self.dir, 'web')).strip()
        self.web = run(os.path.join(TOP, 'scripts', 'router-libs.sh'), 'web').strip()
        self.boot_pids = []
        self.root_password = secrets.token_hex(8)
        # The router's PATH; procd and so the agent inherit the board's file.
        self.env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'HOME': '/tmp',
                    'HOST_NVTOOL_FILE': '/tmp/nvtool'}
        self.install_app()

    # -- the root ---------------------------------------------------------
    def path(self, p):
        return self.root + p

    def install_app(self):
        """luci-app-ovimar by luci.mk's install section; root's password."""
        run(os.path.join(HERE, 'luci_app.sh'), BOOT_ENV, 'install', self.root)
        hashed = run('openssl', 'passwd', '-6', self.root_password).strip()
        shadow = self.path('/etc/shadow')
        with open(shadow) as f:
            lines = f.read().splitlines()
        with open(shadow, 'w') as f:
            for ln in lines:
                if ln.startswith('root:'):
                    ln = 'root:%s:%s' % (hashed, ln.split(':', 2)[2])
                f.write(ln + '\n')

    def chroot(self, *argv, env=None):
        return ['chroot', self.root, 'env', '-i'] + \
            ['%s=%s' % kv for kv in (env or self.env).items()] + list(argv)

    def sh(self, *argv):
        return run(*self.chroot(*argv))

    def start(self, name, *argv):
        with open(os.path.join(self.logs, name + '.log'), 'w') as log:
            p = subprocess.Popen(self.chroot(*argv), stdout=log, stderr=subprocess.STDOUT)
        p.name = name
        self.procs.append(p)
        return p

    def log(self, name):
        try:
            with open(os.path.join(self.logs, name + '.log')) as f:
                return f.read()
        except OSError:
            return ''

    def stop(self, p):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if p in self.procs:
            self.procs.remove(p)

    def url(self, path):
        return 'http://127.0.0.1:%d%s' % (WEB_PORT, path)

    # -- the web stack ----------------------------------------------------
    def start_web(self):
        """The router's boot-time system in the root (router_boot.sh: ubusd,
        logd, procd, busybox sh, OpenWrt's scripts, the agent's package),
        then rpcd and uhttpd installed and started by their init scripts."""
        os.makedirs(self.path('/tmp/boot'))
        self.boot_pids = self.sh('/bin/sh', BOOT_SH, BOOT_ENV, 'start', '/tmp/boot').split()
        # The boot leaves /etc/init.d to what packages install: these two.
        for name in ('rpcd', 'uhttpd'):
            shutil.copy2(os.path.join(self.web, 'etc', 'init.d', name), self.path('/etc/init.d/'))
        self.sh('uci', 'set', 'uhttpd.main.listen_http=127.0.0.1:%d' % WEB_PORT)
        self.sh('uci', 'delete', 'uhttpd.main.listen_https')
        self.sh('uci', 'commit', 'uhttpd')
        self.sh('/etc/init.d/rpcd', 'start')
        self.sh('/etc/init.d/uhttpd', 'start')
        wait(lambda: 'session' in (self.ubus_ok('list') or ''), 'rpcd on the bus')
        wait(self.web_ok, 'uhttpd to answer')

    def instance_pid(self, service):
        out = self.ubus_ok('call', 'service', 'list', '{"name":"%s"}' % service)
        try:
            return json.loads(out)[service]['instances']['instance1']['pid']
        except (TypeError, ValueError, KeyError):
            return 0

    def ubus_ok(self, *args):
        r = subprocess.run(self.chroot('ubus', '-t', '2') + list(args),
                           capture_output=True, text=True)
        return r.stdout if r.returncode == 0 else None

    def web_ok(self):
        r = subprocess.run(['curl', '-s', '-o', '/dev/null', '-w', '%{http_code}',
                            self.url('/cgi-bin/luci/')], capture_output=True, text=True)
        return r.stdout == '403'  # the login page

    def drop_acl(self):
        """Takes the app's ACL away as removing the package does."""
        os.remove(self.path('/usr/share/rpcd/acl.d/luci-app-ovimar.json'))
        for p in ('/tmp/luci-indexcache', '/tmp/luci-modulecache'):
            shutil.rmtree(self.path(p), ignore_errors=True)
            if os.path.exists(self.path(p)):
                os.remove(self.path(p))
        pid = self.instance_pid('rpcd')
        self.sh('/etc/init.d/rpcd', 'reload')
        # rpcd re-executes itself on the signal, keeping its PID.
        wait(lambda: self.instance_pid('rpcd') == pid, 'rpcd after its reload')
        wait(lambda: 'session' in (self.ubus_ok('list') or ''), 'rpcd back on the bus')

    # -- the agent and its peers ----------------------------------------
    def start_peers(self):
        """Carrier service, broker; the agent's settings point at both."""
        t = self.path('/tmp/tls')
        os.makedirs(t)
        ossl = lambda *a: run('openssl', *a)
        ossl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
             '-keyout', t + '/ca.key', '-out', t + '/ca.pem', '-days', '1', '-subj', '/CN=web CA')
        ossl('req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
             '-keyout', t + '/server.key', '-out', t + '/server.csr', '-subj', '/CN=127.0.0.1')
        with open(t + '/ext.cnf', 'w') as f:
            f.write('subjectAltName=IP:127.0.0.1\n')
        ossl('x509', '-req', '-in', t + '/server.csr', '-CA', t + '/ca.pem', '-CAkey',
             t + '/ca.key', '-CAcreateserial', '-out', t + '/server.pem', '-days', '1',
             '-extfile', t + '/ext.cnf')
        self.broker_user = 'web-user-' + secrets.token_hex(4)
        self.broker_password = 'web-pass-' + secrets.token_hex(8)
        self.device_secret = 'web-secret-' + secrets.token_hex(8)
        self.sh('mosquitto_passwd', '-b', '-c', '/tmp/tls/passwd', self.broker_user,
                self.broker_password)
        with open(t + '/mosquitto.conf', 'w') as f:
            f.write('allow_anonymous false\npassword_file /tmp/tls/passwd\npersistence false\n'
                    'listener %d 127.0.0.1\ncafile /tmp/tls/ca.pem\n'
                    'certfile /tmp/tls/server.pem\nkeyfile /tmp/tls/server.key\n' % BROKER_PORT)
        os.chmod(t, 0o755)
        for n in os.listdir(t):
            os.chmod(os.path.join(t, n), 0o644)
        self.start('broker', 'mosquitto', '-c', '/tmp/tls/mosquitto.conf')
        wait(lambda: 'running' in self.log('broker'), 'the broker')
        for name in ('ovimar', 'zorvex_group'):
            shutil.copy(os.path.join(TOP, 'agent', 'files', name), self.path('/etc/config/'))
        self.sh('nvtool', 'set', 'ZVEI', 'WEB-0123456789')
        self.start('zorvex', os.path.join(BUILD, 'peers', 'zorvex', 'zorvex_sim'),
                   os.path.join(TOP, 'scripts', 'demo', 'zorvex.json'))
        wait(lambda: 'ready' in self.log('zorvex'), 'the carrier service')
        for kv in ('server.domain=127.0.0.1', 'https.port=%d' % PLATFORM_PORT,
                   'mqtt.ca_file=/tmp/tls/ca.pem'):
            self.sh('uci', 'set', 'ovimar.' + kv)
        self.sh('uci', 'set', 'ovimar.agent=agent')
        self.sh('uci', 'set', 'ovimar.agent.log_level=7')
        self.sh('uci', 'commit', 'ovimar')

    def start_platform(self):
        self.start('platform', os.path.join(BUILD, 'peers', 'platform', 'platform_sim'),
                   '--port', str(PLATFORM_PORT),
                   '--cert', '/tmp/tls/server.pem', '--key', '/tmp/tls/server.key',
                   '--broker', '127.0.0.1:%d' % BROKER_PORT, '--user', self.broker_user,
                   '--password', self.broker_password, '--mqtt-ca', '/tmp/tls/ca.pem',
                   '--secret', self.device_secret)
        wait(lambda: 'https ready port' in self.log('platform'), 'the platform')

    def start_agent(self):
        """As a router starts it: its init script under procd."""
        self.sh('/etc/init.d/ovimar-agent', 'start')
        wait(lambda: self.status(), 'the agent on the bus')

    def stop_agent(self):
        pid = self.instance_pid('ovimar-agent')
        self.sh('/etc/init.d/ovimar-agent', 'stop')
        wait(lambda: not os.path.exists('/proc/%d' % pid), 'the agent to end')

    def bind(self):
        self.sh('ubus', 'call', 'zorvex_sim', 'emit',
                '{"event":"APP_AUTH","data":{"method":"bind"}}')

    def status(self):
        out = self.ubus_ok('call', 'ovimar', 'status')
        return json.loads(out) if out else None

    def secrets(self):
        """Every secret of the run: broker user and password, device secret."""
        found = [self.broker_user, self.broker_password, self.device_secret]
        stored = subprocess.run(self.chroot('uci', '-q', 'get', 'ovimar.status.secret'),
                                capture_output=True, text=True).stdout.strip()
        return [s for s in found + [stored] if s]

    # -- the browser ------------------------------------------------------
    def browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        opts = webdriver.ChromeOptions()
        opts.binary_location = '/usr/bin/chromium'
        for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                  '--window-size=1280,900', '--user-data-dir=' + os.path.join(self.dir, 'chromium')):
            opts.add_argument(a)
        opts.set_capability('goog:loggingPrefs', {'performance': 'ALL'})
        service = Service('/usr/bin/chromedriver',
                          log_path=os.path.join(self.logs, 'chromedriver.log'),
                          env={'HOME': self.dir, 'PATH': '/usr/bin:/bin'})
        self.driver = webdriver.Chrome(service=service, options=opts)
        self.seen = []
        return self.driver

    def received(self, drv):
        """Bodies of every answer the browser received so far."""
        for entry in drv.get_log('performance'):
            msg = json.loads(entry['message'])['message']
            if msg['method'] == 'Network.loadingFinished':
                try:
                    body = drv.execute_cdp_cmd('Network.getResponseBody',
                                               {'requestId': msg['params']['requestId']})
                    self.seen.append(body.get('body', ''))
                except Exception:  # noqa: BLE001 (a body the browser let go)
                    pass
        return self.seen

    def screenshot(self, drv):
        """Saved where OVIMAR_WEB_SHOT names, if it does."""
        out = os.environ.get('OVIMAR_WEB_SHOT')
        if out:
            drv.save_screenshot(out)

    def close(self):
        if self.driver:
            pid = self.driver.service.process.pid
            self.driver.quit()
            wait(lambda: not os.path.exists('/proc/%d' % pid) or
                 open('/proc/%d/stat' % pid).read().split()[2] == 'Z', 'chromedriver to end')
        for p in reversed(list(self.procs)):
            self.stop(p)
        if self.boot_pids:
            self.sh('/bin/sh', BOOT_SH, BOOT_ENV, 'stop', *self.boot_pids)
        if os.environ.get('OVIMAR_WEB_KEEP_LOGS'):
            shutil.copytree(self.path('/tmp/boot'), os.path.join(self.logs, 'boot'),
                            dirs_exist_ok=True)
            print('logs in', self.logs)
            return
        # Removed only once nothing is mounted below it.
        if subprocess.run(['umount', '-R', os.path.join(self.dir, 'web')]).returncode == 0:
            shutil.rmtree(self.dir, ignore_errors=True)

