#!/usr/bin/env python3
"""bigwc.py BIN WC OTHER: drives a real finder-extension on the session bus
over the registered working copies WC (large) and OTHER (small) and prints
`name: value` lines, each figure with its reference from the same run:

- cold: a freshly started extension listing WC's root (every badge of the
  working copy computed) against `svn status -v WC`, medians of three;
- one edit: CPU of the extension and its scan helpers from a file's edit to
  its new badge, median of 10 edits in different folders, against the CPU
  of `svn status -v WC`;
- quiet: a folder listed after 10 s without changes: the helpers' CPU meanwhile;
- memory: the extension's resident size after 10 whole rescans, against the
  peak of `svn status -v WC`;
- locked: OTHER listed by a fresh extension while another program holds
  WC's wc.db locked and WC is being listed too."""
import os
import statistics
import subprocess
import sys
import threading
import time

BIN, WC, OTHER = sys.argv[1:4]
TICK = os.sysconf('SC_CLK_TCK')


def say(name, value):
    print('%s: %s' % (name, value), flush=True)


def task_seconds(pid):
    """CPU seconds of every thread of pid, to the nanosecond."""
    total = 0
    try:
        for task in os.listdir('/proc/%d/task' % pid):
            with open('/proc/%d/task/%s/schedstat' % (pid, task)) as f:
                total += int(f.read().split()[0])
    except OSError:
        pass
    return total / 1e9


def children(pid):
    found = []
    try:
        for task in os.listdir('/proc/%d/task' % pid):
            with open('/proc/%d/task/%s/children' % (pid, task)) as f:
                found += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return found


def reaped_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / TICK  # cutime, cstime


def helper_cpu(pid):
    """The scan helpers' CPU: the live ones', and the ended ones' once reaped."""
    return sum(task_seconds(child) for child in children(pid)) + reaped_seconds(pid)


def extension_only_cpu(pid):
    return task_seconds(pid)


def own_cpu(pid):
    """The CPU seconds of the extension and its scan helpers."""
    return extension_only_cpu(pid) + helper_cpu(pid)


def settle(pid, quiet=0.5, limit=120):
    """Waits until pid (with its helpers) used no CPU for `quiet` seconds."""
    end = time.monotonic() + limit
    before = own_cpu(pid)
    while time.monotonic() < end:
        time.sleep(quiet)
        now = own_cpu(pid)
        if now - before < 0.002:
            return
        before = now


def start_extension():
    ext = subprocess.Popen([BIN + '/finder-extension'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(['gdbus', 'wait', '--session', '--timeout', '30', 'com.korvaneapp.v3.FinderSync'], check=True)
    settle(ext.pid)
    return ext


def stop(ext):
    ext.terminate()
    ext.wait()


def listing(path, timeout=600):
    started = time.monotonic()
    out = subprocess.run([BIN + '/finder-cli', '--timeout', str(timeout), 'ls', path], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return time.monotonic() - started, out


def svn_status(path):
    """Wall seconds, CPU seconds and peak RSS (KiB) of `svn status -v path`."""
    started = time.monotonic()
    proc = subprocess.Popen(['svn', 'status', '-v', path], stdout=subprocess.DEVNULL)
    _, _, usage = os.wait4(proc.pid, 0)
    return time.monotonic() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


class Watch:
    """`finder-cli watch`, collecting the badge changes it prints."""

    def __init__(self):
        self.proc = subprocess.Popen([BIN + '/finder-cli', 'watch'], stdout=subprocess.PIPE, text=True)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip('\n'))
                self.cond.notify_all()

    def wait_for(self, path, badge, timeout=120):
        want = lambda line: line.endswith(path) and badge in line.split()
        with self.cond:
            return self.cond.wait_for(lambda: any(want(l) for l in self.lines), timeout)

    def clear(self):
        with self.cond:
            self.lines.clear()

    def close(self):
        self.proc.terminate()
        self.proc.wait()


folders = sorted(os.path.join(WC, g, f) for g in os.listdir(WC) if g.startswith('g')
                 for f in os.listdir(os.path.join(WC, g)))
svn_status(WC)  # warms the page cache for both sides
svn_runs = [svn_status(WC) for _ in range(3)]
svn_wall = statistics.median(r[0] for r in svn_runs)
svn_cpu = statistics.median(r[1] for r in svn_runs)
svn_peak = max(r[2] for r in svn_runs)
say('svn status -v of %d folders: wall s' % len(folders), '%.2f' % svn_wall)

# Cold: every badge of the working copy, from a fresh extension.
cold, cold_cpu = [], []
for run in range(3):
    ext = start_extension()
    before = own_cpu(ext.pid)
    seconds, out = listing(WC)
    cold.append(seconds)
    cold_cpu.append(own_cpu(ext.pid) - before)
    if run < 2:
        stop(ext)
say('cold: listing the root of a fresh extension, wall s', '%.2f (svn status -v %.2f): ratio %.2f'
    % (statistics.median(cold), svn_wall, statistics.median(cold) / svn_wall))
say('cold: CPU of extension and helper, s', '%.2f (svn status -v %.2f): ratio %.2f'
    % (statistics.median(cold_cpu), svn_cpu, statistics.median(cold_cpu) / svn_cpu))

# One edit in each of 10 folders, each to its new badge.
watch = Watch()
settle(ext.pid)
costs, delays = [], []
for n in range(10):
    path = os.path.join(folders[n * len(folders) // 10], 'file50.txt')
    before = own_cpu(ext.pid)
    started = time.monotonic()
    with open(path, 'a') as f:
        f.write('edit\n')
    if not watch.wait_for(path, 'modified'):
        sys.exit('bigwc: no badge for ' + path)
    delays.append(time.monotonic() - started)
    settle(ext.pid, 0.3)
    costs.append(own_cpu(ext.pid) - before)
say('one edit: CPU of extension and helper, median of 10, s',
    '%.3f (%.3f-%.3f; svn status -v CPU %.2f): ratio %.3f'
    % (statistics.median(costs), min(costs), max(costs), svn_cpu, statistics.median(costs) / svn_cpu))
say('one edit: its badge after, s (2.5 s of it the quiet period and batching)', '%.2f' % statistics.median(delays))

# A folder listed after 10 s of quiet.
settle(ext.pid)
time.sleep(10)
helper_before, ext_before = helper_cpu(ext.pid), extension_only_cpu(ext.pid)
seconds, _ = listing(folders[len(folders) // 2])
say('quiet 10 s, then a folder listed: helper CPU s, extension CPU s, wall s',
    '%.3f, %.3f, %.3f' % (helper_cpu(ext.pid) - helper_before, extension_only_cpu(ext.pid) - ext_before, seconds))

# Memory after 10 whole rescans (a write inside .svn names no file).
toggle = os.path.join(folders[0], 'file60.txt')
original = open(toggle).read()
for n in range(10):
    watch.clear()
    with open(toggle, 'w') as f:
        f.write(original + 'edit\n' if n % 2 == 0 else original)
    marker = os.path.join(WC, '.svn', 'krv-bench-marker')
    open(marker, 'w').close()
    os.remove(marker)
    if not watch.wait_for(toggle, 'modified' if n % 2 == 0 else '-'):
        sys.exit('bigwc: no rescan %d' % n)
settle(ext.pid)
status = dict(line.split(':', 1) for line in open('/proc/%d/status' % ext.pid) if ':' in line)
rss = int(status['VmRSS'].split()[0])
say('memory after 10 whole rescans: extension RSS MiB',
    '%.1f (peak %.1f; svn status -v peak %.1f): ratio %.2f'
    % (rss / 1024, int(status['VmHWM'].split()[0]) / 1024, svn_peak / 1024, rss / svn_peak))
watch.close()
stop(ext)

# Another program holds WC's database locked.
ext = start_extension()
lock = subprocess.Popen(['sqlite3', os.path.join(WC, '.svn', 'wc.db')], stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, text=True)
lock.stdin.write("BEGIN EXCLUSIVE;\nSELECT 'held';\n")
lock.stdin.flush()
if lock.stdout.readline().strip() != 'held':
    sys.exit('bigwc: could not lock wc.db')
blocked = subprocess.Popen([BIN + '/finder-cli', '--timeout', '60', 'ls', folders[1]], stdout=subprocess.DEVNULL)
time.sleep(0.2)
seconds, _ = listing(OTHER)
say('locked wc.db in one working copy: another listed in, s', '%.2f' % seconds)
lock.stdin.write('COMMIT;\n')
lock.stdin.close()
lock.wait()
blocked.wait()
stop(ext)
