#!/usr/bin/env python3
"""Writes a Subversion dump of one revision to standard output: 20 top
folders of 25 folders each (500 folders), 40 small files in each of those
(20,000 files). Loading a dump is far quicker than committing the files."""
import sys

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
for group in range(20):
    node(b'g%02d' % group, b'dir')
    for sub in range(25):
        folder = b'g%02d/f%03d' % (group, group * 25 + sub)
        node(folder, b'dir')
        for number in range(40):
            node(folder + b'/file%02d.txt' % number, b'file', b'line %d %d\n' % (sub, number) * 3)
