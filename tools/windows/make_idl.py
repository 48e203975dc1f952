#!/usr/bin/env python3
"""Writes the type library's IDL from resources/typelib.json.

    make_idl.py <typelib.json> <output.idl>

The IDL is written in GBK: the compiler copies help strings into the type
library byte for byte, and the library's locale (0, neutral) has them read
in the system's ANSI code page, which for the control's users is GBK.
"""
import json
import sys

DISPIDS = {-552: "DISPID_ABOUTBOX"}
TYPES = {"VT_EMPTY": "void", "VT_BSTR": "BSTR", "VT_I4": "long"}


def attributes(*items):
    return "[" + ", ".join(i for i in items if i) + "]"


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def guid(text):
    return text.strip("{}")


def main(source, target):
    with open(source, encoding="utf-8") as f:
        lib = json.load(f)
    out = ["// Generated from resources/typelib.json by tools/windows/make_idl.py; do not edit.",
           "#include <olectl.h>",
           'import "oaidl.idl";', 'import "ocidl.idl";', ""]
    flags = lib.get("flags", 0)
    out.append(attributes(f"uuid({guid(lib['libid'])})", f"version({lib['version']})",
                          f"lcid({lib.get('lcid', 0)})",
                          f"helpfile({quoted(lib['helpFile'])})" if lib.get("helpFile") else "",
                          f"helpstring({quoted(lib['helpString'])})" if lib.get("helpString") else "",
                          "control" if flags & 2 else "", "hidden" if flags & 4 else "",
                          "restricted" if flags & 1 else ""))
    out.append(f"library {lib['name']}")
    out.append("{")
    for imported in lib.get("imports", []):
        out.append(f"    importlib({quoted(imported)});")
    for t in lib["types"]:
        out.append("")
        if t["kind"] == "dispinterface":
            out.append("    " + attributes(f"uuid({guid(t['iid'])})",
                                          f"helpstring({quoted(t['helpString'])})" if t.get("helpString") else ""))
            out.append(f"    dispinterface {t['name']}")
            out.append("    {")
            out.append("    properties:")
            out.append("    methods:")
            for m in t["methods"]:
                dispid = DISPIDS.get(m["dispid"], str(m["dispid"]))
                out.append("        " + attributes(f"id({dispid})",
                                                  f"helpstring({quoted(m['helpString'])})" if m.get("helpString") else "")
                           + f" {TYPES[m['result']]} {m['name']}();")
            out.append("    };")
        elif t["kind"] == "coclass":
            flags = t.get("typeFlags", [])
            out.append("    " + attributes(f"uuid({guid(t['clsid'])})",
                                          f"helpstring({quoted(t['helpString'])})" if t.get("helpString") else "",
                                          "control" if "TYPEFLAG_FCONTROL" in flags else "",
                                          "" if "TYPEFLAG_FCANCREATE" in flags else "noncreatable"))
            out.append(f"    coclass {t['name']}")
            out.append("    {")
            for i in t["interfaces"]:
                marks = [m for m, on in (("default", i.get("default")), ("source", i.get("source"))) if on]
                prefix = attributes(*marks) + " " if marks else ""
                out.append(f"        {prefix}dispinterface {i['name']};")
            out.append("    };")
        else:
            raise SystemExit(f"unknown type kind {t['kind']}")
    out.append("};")
    with open(target, "w", encoding="gbk", newline="\n") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
