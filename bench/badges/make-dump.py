#!/usr/bin/env python3
"""make-dump.py [GROUPS FOLDERS FILES]: writes a Subversion dump of one
revision to standard output: GROUPS top folders of FOLDERS folders each,
FILES small files in each of those; 20 x 25 x 40 (20,000 files) by default.
Loading a dump is far quicker than committing the files."""
import sys

groups, folders, files = (int(arg) for arg in sys.argv[1:4]) if len(sys.argv) == 4 else (20, 25, 40)

out = sys.stdout.buffer


def props(values):
    text = b''
    for key, value in values.items():
        text += b'K %d\n%s\nV %d\n%s\n' % (len(key), key, len(value), value)
    return text + b'PROPS-END\n'


def node(path, kind, text=None):
    empty = props({})
    out.write(b'Node-path: %s\nNode-kind: %s\nNode-action: add\nProp-content-length: %d\n' % (path, kind, len(empty)))
    if text is None:
        out.write(b'Content-length: %d\n\n%s\n\n' % (len(empty), empty))
    else:
        out.write(b'Text-content-length: %d\nContent-length: %d\n\n%s%s\n\n'
                  % (len(text), len(empty) + len(text), empty, text))


out.write(b'SVN-fs-dump-format-version: 2\n\n')
revision = props({b'svn:log': b'generated tree', b'svn:author': b'bench',
                  b'svn:date': b'2024-01-01T00:00:00.000000Z'})
out.write(b'Revision-number: 1\nProp-content-length: %d\nContent-length: %d\n\n%s\n'
          % (len(revision), len(revision), revision))
for group in range(groups):
    node(b'g%02d' % group, b'dir')
    for sub in range(folders):
        folder = b'g%02d/f%04d' % (group, group * folders + sub) if folders * groups > 1000 else \
            b'g%02d/f%03d' % (group, group * folders + sub)
        node(folder, b'dir')
        for number in range(files):
            node(folder + b'/file%02d.txt' % number, b'file', b'line %d %d\n' % (sub, number) * 3)
