#!/usr/bin/python3
"""The service executable as users get it, linked with the system's hidapi over
hidraw, driving a signature pad that umockdev emulates in user space: a page
on port 10001 signs, clears, cancels, loses the pad and finds it again.

Run under umockdev-wrapper (the preload library must be loaded in this
process, which owns the testbed, and in the service, which inherits it):
    umockdev-wrapper /usr/bin/python3 emulated_pad_test.py <penmora executable>
"""
import asyncio
import base64
import collections
import errno
import io
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import UMockdev  # noqa: E402
import websockets  # noqa: E402
from PIL import Image  # noqa: E402

VENDOR, PRODUCT = 0x3F72, 0x0A01
HIDIOCGRDESCSIZE = 0x80044801      # _IOR('H', 0x01, int)
HIDIOC_FEATURE_MASK = ~(0x3FFF << 16) & 0xFFFFFFFF
HIDIOCSFEATURE_0 = 0xC0004806      # _IOC(READ|WRITE, 'H', 0x06, len) without len
SIGN, CLOSE = 0x01, 0x04
PORT = 10001


class EmulatedPad:
    """The pad behind /dev/hidraw0: input reports in a queue, the feature
    reports it received, plugged in or not. The handlers run on umockdev's
    worker thread."""

    def __init__(self, testbed):
        self.lock = threading.Lock()
        self.reports = collections.deque()
        self.features = []
        self.plugged = True
        self.opens = 0
        self.master = testbed.get_dev_fd('/dev/hidraw0')
        # poll() on the node is not emulated: it sees the backing terminal.
        # The terminal holds a byte while reads have something to say, so a
        # waiting reader wakes as it would on the real device.
        slave_path = os.path.realpath(os.path.join(testbed.get_root_dir(), 'dev', 'hidraw0'))
        self.slave = os.open(slave_path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY)
        tty.setraw(self.slave)
        self.readable = False
        self.handler = UMockdev.IoctlBase()
        self.handler.connect('handle-ioctl', self._on_ioctl)
        self.handler.connect('handle-read', self._on_read)
        self.handler.connect('handle-write', self._on_write)
        self.handler.connect('client-connected', self._on_open)
        testbed.attach_ioctl('/dev/hidraw0', self.handler)

    def _set_readable(self, readable):
        if readable and not self.readable:
            os.write(self.master, b'!')
        elif not readable and self.readable:
            try:
                while os.read(self.slave, 64):
                    pass
            except BlockingIOError:
                pass
        self.readable = readable

    def queue(self, report):
        with self.lock:
            self.reports.append(bytes(report))
            self._set_readable(True)

    def pen(self, x, y, pressure):
        self.queue(struct.pack('<BBHHH', 2, 0, x, y, pressure))

    def button(self, code):
        self.queue(bytes([2, 0x80]) + code.encode())

    def unplug(self):
        with self.lock:
            self.plugged = False
            self._set_readable(True)

    def plug(self):
        with self.lock:
            self.plugged = True
            self._set_readable(bool(self.reports))

    def codes(self):
        with self.lock:
            return [(f[1], ok) for f, ok in self.features]

    def _on_open(self, handler, client):
        with self.lock:
            self.opens += 1

    def _on_ioctl(self, handler, client):
        request = client.get_request()
        if request == HIDIOCGRDESCSIZE:
            data = client.get_arg().resolve(0, 4)
            data.update(0, struct.pack('<i', 64))
            client.complete(0, 0)
        elif request & HIDIOC_FEATURE_MASK == HIDIOCSFEATURE_0:
            length = (request >> 16) & 0x3FFF
            data = client.get_arg().resolve(0, length)
            report = bytes(data.retrieve())[:length]
            with self.lock:
                plugged = self.plugged
                if plugged:
                    self.features.append((report, True))
            if plugged:
                client.complete(length, 0)
            else:
                client.complete(-1, errno.ENODEV)
        else:
            client.complete(-1, errno.ENOTTY)
        return True

    def _on_read(self, handler, client):
        with self.lock:
            if not self.plugged:
                client.complete(-1, errno.ENODEV)
                return True
            if not self.reports:
                self._set_readable(False)
                client.complete(-1, errno.EAGAIN)
                return True
            report = self.reports.popleft()[:128]
            if not self.reports:
                self._set_readable(False)
        client.get_arg().update(0, report)
        client.complete(len(report), 0)
        return True

    def _on_write(self, handler, client):
        client.complete(-1, errno.EINVAL)
        return True


def make_testbed():
    testbed = UMockdev.Testbed.new()
    usb = testbed.add_device(
        'usb', 'usb1/1-4', None,
        ['idVendor', '%04x' % VENDOR, 'idProduct', '%04x' % PRODUCT, 'bcdDevice', '0100',
         'manufacturer', 'Penmora test', 'product', 'Signature pad', 'serial', 'PM0001'],
        ['DEVTYPE', 'usb_device'])
    interface = testbed.add_device('usb', '1-4:1.1', usb, ['bInterfaceNumber', '01'],
                                   ['DEVTYPE', 'usb_interface'])
    # hidapi skips a HID device whose uevent lacks any of these three.
    hid = testbed.add_device('hid', '0003:3F72:0A01.0001', interface, [],
                             ['HID_ID', '0003:%08X:%08X' % (VENDOR, PRODUCT),
                              'HID_NAME', 'Penmora test Signature pad', 'HID_UNIQ', 'PM0001'])
    testbed.add_from_string(
        'P: %s/hidraw/hidraw0\n' % hid[len('/sys'):] +
        'N: hidraw0\n'
        'E: DEVNAME=/dev/hidraw0\nE: SUBSYSTEM=hidraw\nE: MAJOR=244\nE: MINOR=0\n'
        'A: dev=244:0\n')
    # hidapi filters by ids through the hidraw node's "device" link to its
    # HID device, which the kernel makes and the testbed does not.
    os.symlink('../..', os.path.join(testbed.get_root_dir(), hid[1:], 'hidraw', 'hidraw0', 'device'))
    return testbed


def raw_x(x):
    return int((x + 0.5) * 10206 / 600 + 0.5)


def raw_y(y):
    return int((y + 0.5) * 7422 / 400 + 0.5)


# What the pad has seen, for failure messages.
describe_pad = lambda: None


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_until(predicate, what, seconds=10):
    end = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > end:
            raise Failure('timed out: %s (pad: %r)' % (what, describe_pad()))
        time.sleep(0.01)


async def next_message(ws, seconds=10):
    try:
        return await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        raise Failure('no message from the service')


async def no_message(ws, seconds):
    try:
        message = await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        return
    raise Failure('unexpected message: %r' % message)


async def scenario(pad):
    start = '{"typeName":"TavoStartSign","message":{"penwidth":"4"}}'
    close = '{"typeName":"TavoCloseSign"}'
    async with websockets.connect('ws://127.0.0.1:%d/' % PORT, max_size=None) as ws:
        # A signature: a stroke across the middle, then OK.
        await ws.send(start)
        wait_until(lambda: pad.codes() == [(SIGN, True)], 'start command')
        for i in range(12):
            pad.pen(raw_x(100 + 30 * i), raw_y(150 + (i % 3) * 10), 900)
        pad.pen(raw_x(100), raw_y(150), 0)
        pad.button('OK')
        message = await next_message(ws)
        head = '{"typeName":"TavoSignBase64","message":"'
        check(message.startswith(head) and message.endswith('"}'), 'signature message')
        text = message[len(head):-2]
        png = base64.b64decode(text + '=' * (-len(text) % 4))
        image = Image.open(io.BytesIO(png))
        check(image.size == (600, 355) and image.mode == 'RGBA', 'a 600 x 355 RGBA picture')
        alpha = image.getchannel('A')
        check(alpha.getpixel((5, 5)) == 0, 'transparent background')
        check(max(alpha.getpixel((250, y)) for y in range(140, 180)) == 255, 'ink along the stroke')
        check(await next_message(ws) == '{"typeName":"TavoOK"}', 'TavoOK after the signature')
        wait_until(lambda: pad.codes() == [(SIGN, True), (CLOSE, True)], 'close command after OK')
        for report, _ in pad.features:
            check(report == bytes([6, report[1]]) + bytes(8), 'a 10-byte feature report')

        # Clear, then Cancel.
        await ws.send(start)
        wait_until(lambda: len(pad.codes()) == 3, 'second start command')
        pad.button('CL')
        check(await next_message(ws) == '{"typeName":"TavoClear"}', 'TavoClear')
        pad.button('CNCL')
        check(await next_message(ws) == '{"typeName":"TavoCancel"}', 'TavoCancel')
        wait_until(lambda: pad.codes()[-1] == (CLOSE, True), 'close command after Cancel')

        # The pad is unplugged mid-stroke: nothing is reported and the
        # session waits for the page to close it.
        await ws.send(start)
        wait_until(lambda: len(pad.codes()) == 5, 'third start command')
        for i in range(3):
            pad.pen(raw_x(100 + 30 * i), raw_y(100), 900)
        pad.unplug()
        await no_message(ws, 0.5)
        await ws.send(close)
        await no_message(ws, 0.3)
        check(len(pad.codes()) == 5, 'an unplugged pad receives nothing')

        # Plugged in again, the next signature works.
        pad.plug()
        opens = pad.opens
        await ws.send(start)
        wait_until(lambda: len(pad.codes()) == 6 and pad.opens == opens + 1, 'start after replug')
        pad.button('OK')
        unsign = await next_message(ws)
        check(unsign == '{"typeName":"TavoUnSign","message":"请确认是否签字"}', 'TavoUnSign')
        wait_until(lambda: pad.codes()[-1] == (SIGN, True), 'sign command after an unsigned OK')
        await ws.send(close)
        wait_until(lambda: pad.codes()[-1] == (CLOSE, True), 'close command for TavoCloseSign')


def port_open():
    try:
        with socket.create_connection(('127.0.0.1', PORT), timeout=0.2):
            return True
    except OSError:
        return False


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if 'umockdev' not in os.environ.get('LD_PRELOAD', ''):
        print('run under umockdev-wrapper')
        return 2
    # Another service on the fixed port would answer in place of this one.
    try:
        wait_until(lambda: not port_open(), 'port %d free' % PORT, 60)
    except Failure as failure:
        print('FAILED:', failure)
        return 1
    testbed = make_testbed()
    pad = EmulatedPad(testbed)
    global describe_pad
    describe_pad = lambda: {'opens': pad.opens, 'features': pad.features}

    folder = tempfile.mkdtemp(prefix='penmora-emulated-pad-')
    exe = os.path.join(folder, 'penmora')
    shutil.copy(sys.argv[1], exe)
    env = {k: v for k, v in os.environ.items()
           if k not in ('HOME', 'XDG_CONFIG_HOME', 'DISPLAY', 'WAYLAND_DISPLAY',
                        'DBUS_SESSION_BUS_ADDRESS')}
    # The testbed sets this in the C environment only.
    env['UMOCKDEV_DIR'] = testbed.get_root_dir()
    env['HOME'] = folder
    env['XDG_CONFIG_HOME'] = os.path.join(folder, '.config')
    trace = open(os.path.join(folder, 'trace.txt'), 'wb')
    service = subprocess.Popen([exe], cwd=folder, env=env, stdout=trace)
    result = 1
    try:
        wait_until(lambda: port_open() or service.poll() is not None, 'service listening')
        check(service.poll() is None, 'the service runs')
        asyncio.run(scenario(pad))
        check(service.poll() is None, 'the service still runs')
        service.send_signal(signal.SIGTERM)
        service.wait(10)
        # One trace line per pen report: scaled x, y and the pressure.
        with open(os.path.join(folder, 'trace.txt')) as lines:
            traced = lines.read().splitlines()
        check('  100   150   900' in traced, 'the pen trace on standard output')
        result = 0
        print('emulated pad: all passed')
    except Failure as failure:
        print('FAILED:', failure)
    finally:
        if service.poll() is None:
            service.send_signal(signal.SIGTERM)
            try:
                service.wait(10)
            except subprocess.TimeoutExpired:
                service.kill()
                service.wait()
        trace.close()
        if result:
            os.system('cat %s/log/*' % folder)
        shutil.rmtree(folder, ignore_errors=True)
    return result


if __name__ == '__main__':
    sys.exit(main())
