#!/usr/bin/env python3
"""Prints 'path line' for every element of an XML file, in document order:
the colon path from the root (root name first) and the line expat gives."""
import sys
import xml.parsers.expat

stack = []
parser = xml.parsers.expat.ParserCreate()


def start(name, _attrs):
    stack.append(name)
    print(":".join(stack), parser.CurrentLineNumber)


parser.StartElementHandler = start
parser.EndElementHandler = lambda _name: stack.pop()
with open(sys.argv[1], "rb") as f:
    parser.ParseFile(f)
