#!/usr/bin/python3
"""web_shot.py URL OUT: logs in to LuCI at URL as root with no password (a
fresh router's), follows Status > Carrier cloud, waits until the page shows
"Bound and managed" and saves a screenshot of it to OUT. Debian's Chromium,
headless; ended by its driver before this exits."""
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def wait(cond, what, timeout=60):
    end = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > end:
            sys.exit('web_shot: timed out waiting for ' + what)
        time.sleep(0.1)


def main(url, out):
    profile = tempfile.TemporaryDirectory()
    opts = webdriver.ChromeOptions()
    opts.binary_location = '/usr/bin/chromium'
    for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
              '--window-size=1100,680', '--user-data-dir=' + profile.name):
        opts.add_argument(a)
    drv = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=opts)
    try:
        drv.get(url + '/cgi-bin/luci/')
        user = drv.find_element(By.ID, 'luci_username')
        user.clear()
        user.send_keys('root')
        drv.find_element(By.ID, 'luci_password').submit()
        wait(lambda: not drv.find_elements(By.ID, 'luci_password'), 'the login')
        wait(lambda: drv.find_elements(By.XPATH, '//a[text()="Carrier cloud"]'), 'the menu')
        drv.get(drv.find_element(By.XPATH, '//a[text()="Carrier cloud"]').get_attribute('href'))
        wait(lambda: 'Bound and managed' in drv.find_element(By.TAG_NAME, 'body').text,
             'the page in OVIMAR_FINISHED')
        drv.save_screenshot(out)
    finally:
        drv.quit()


if __name__ == '__main__':
    main(*sys.argv[1:3])
