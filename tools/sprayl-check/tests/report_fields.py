"""Reads what sprayl-check wrote for programs with real parsers, for the tests.

report_fields.py FILE.json PATH...  prints the value at each PATH (members
and item numbers joined by dots: check.bytes.read, inputs.files.0.name) as
JSON with every non-ASCII character escaped, one a line. The file must be
strict JSON in UTF-8.
report_fields.py FILE.svg TAG...    prints how many elements of each SVG TAG
the file holds, once it has parsed as XML.
"""
import json
import sys
import xml.etree.ElementTree as ElementTree


def refuse_constant(name):
    raise ValueError("not JSON: " + name)


def main():
    path = sys.argv[1]
    if path.endswith(".svg"):
        root = ElementTree.parse(path).getroot()
        for tag in sys.argv[2:]:
            print(len(root.findall(".//{http://www.w3.org/2000/svg}" + tag)))
        return
    with open(path, encoding="utf-8", errors="strict") as file:
        document = json.load(file, parse_constant=refuse_constant)
    for member_path in sys.argv[2:]:
        value = document
        for part in member_path.split("."):
            value = value[int(part)] if isinstance(value, list) else value[part]
        print(json.dumps(value, ensure_ascii=True))


main()
