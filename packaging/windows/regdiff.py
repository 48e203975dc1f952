#!/usr/bin/python3
"""What a registry export gained between two moments, as data.

    regdiff.py BEFORE.reg AFTER.reg [--under PREFIX]... [--except PREFIX]...
        prints the values AFTER has and BEFORE lacks (or holds otherwise),
        one per line: KEY<TAB>NAME<TAB>TYPE<TAB>DATA (NAME empty for the
        default value), keys relative to nothing (as exported), sorted;
        also every new key that holds no value, with NAME and TYPE "-".
    regdiff.py --wxs ROWS INSTALLDIR DIR
        turns such lines into what an MSI built by wixl needs, in DIR:
        registry.wxi, WiX RegistryValue elements, the install directory's
        path (INSTALLDIR, ending in a backslash) written as [INSTALLDIR];
        wixl cannot carry text beyond ASCII, so such values go instead into
        registration.reg (imported by reg.exe at install) with the custom
        actions that import them and delete them at removal in
        registry-actions.wxi and registry-sequence.wxi.
    regdiff.py --mentions WORD... < EXPORT.reg
        prints the keys, names and data of EXPORT that contain one of the
        words (case-insensitive).

Exports are what `regedit /E` writes: REGEDIT4 or Windows Registry Editor
5.00, UTF-16 with a byte-order mark or 8-bit text. Values are strings
("..."), dword:, or hex(N): lists; a trailing backslash continues a line.
"""
import sys
from xml.sax.saxutils import quoteattr


def read_text(path):
    data = open(path, "rb").read() if path != "-" else sys.stdin.buffer.read()
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    return data.decode("utf-8", errors="replace")


def logical_lines(text):
    line = ""
    for raw in text.replace("\r\n", "\n").split("\n"):
        if line and raw.startswith("  "):
            raw = raw.strip()
        line += raw
        if line.endswith("\\") and not line.endswith('\\\\"'):
            line = line[:-1]
            continue
        yield line
        line = ""
    if line:
        yield line


def unquote(text):
    """The string at the start of text ("...", escapes \\\\ and \\"), and the rest."""
    assert text[0] == '"'
    out, i = [], 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), text[i + 1:]


def parse(path):
    """{key: {name: (type, data)}} of an export."""
    keys, current = {}, None
    for line in logical_lines(read_text(path)):
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and (line.startswith('"') or line.startswith("@=")):
            if line.startswith("@="):
                name, rest = "", line[1:]
            else:
                name, rest = unquote(line)
            rest = rest[1:]  # the '='
            if rest.startswith('"'):
                current[name] = ("string", unquote(rest)[0])
            elif rest.startswith("dword:"):
                current[name] = ("integer", str(int(rest[6:], 16)))
            elif rest.startswith("hex(2):"):
                raw = bytes(int(b, 16) for b in rest[7:].split(",") if b)
                current[name] = ("expandable", raw.decode("utf-16-le").rstrip("\0"))
            else:
                current[name] = ("binary", rest)
    return keys


def diff(before_path, after_path, under, excepted):
    before, after = parse(before_path), parse(after_path)
    rows = []

    def wanted(key):
        lower = key.lower()
        return (not under or any(lower.startswith(p.lower()) for p in under)) and \
            not any(lower.startswith(p.lower()) for p in excepted)

    for key, values in after.items():
        if not wanted(key):
            continue
        old = before.get(key)
        if old is None and not values:
            rows.append((key, "-", "-", ""))
        for name, value in values.items():
            if old is None or old.get(name) != value:
                rows.append((key, name, value[0], value[1]))
    for row in sorted(rows, key=lambda r: (r[0].lower(), r[1].lower())):
        print("\t".join(row))


ROOTS = {"HKEY_LOCAL_MACHINE": "HKLM", "HKEY_CLASSES_ROOT": "HKCR", "HKEY_CURRENT_USER": "HKCU"}


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def wxs(rows_path, installdir, directory):
    def formatted(text):
        # Brackets are property references in formatted MSI text; the install
        # directory becomes one on purpose.
        text = "".join({"[": "[\\[]", "]": "[\\]]"}.get(c, c) for c in text)
        return text.replace(installdir, "[INSTALLDIR]")

    rows, wide = [], {}
    for line in open(rows_path, encoding="utf-8").read().splitlines():
        key, name, kind, data = line.split("\t")
        root, _, path = key.partition("\\")
        if name == "-":
            # A key without values: created at install, removed with what it
            # holds at removal.
            rows.append(f"<RegistryValue Root={quoteattr(ROOTS[root])} Key={quoteattr(path)} Name=\"*\" "
                        f"Type=\"string\" Value=\"\"/>")
        elif kind == "binary":
            raise SystemExit(f"regdiff.py: no MSI row for the binary value {key}\\{name}")
        elif not (key + name + data).isascii():
            if kind != "string" or installdir in data:
                raise SystemExit(f"regdiff.py: {key}\\{name} is no plain text the .reg file can carry")
            wide.setdefault(key, []).append((name, data))
        else:
            name_attr = f" Name={quoteattr(name)}" if name else ""
            rows.append(f"<RegistryValue Root={quoteattr(ROOTS[root])} Key={quoteattr(path)}{name_attr} "
                        f"Type=\"{kind}\" Value={quoteattr(formatted(data))}/>")

    def write(name, lines):
        with open(f"{directory}/{name}", "w", encoding="utf-8") as f:
            f.write("<Include>\n" + "".join(line + "\n" for line in lines) + "</Include>\n")

    write("registry.wxi", rows)
    reg = ["Windows Registry Editor Version 5.00", ""]
    actions, sequence = [], []
    for index, (key, values) in enumerate(sorted(wide.items())):
        reg += [f"[{key}]"] + [f"{'@' if not n else reg_text(n)}={reg_text(d)}" for n, d in values] + [""]
        for number, (name, _) in enumerate(values):
            which = "/ve" if not name else f'/v "{name}"'
            action = f"RemoveWideValue{index}_{number}"
            command = f'delete "{key}" {which} /f'
            actions.append(f"<CustomAction Id=\"{action}\" Property=\"REGEXE\" Execute=\"deferred\" Impersonate=\"no\" "
                           f"Return=\"ignore\" ExeCommand={quoteattr(command)}/>")
            sequence.append(f"<Custom Action=\"{action}\" Sequence=\"{2500 + len(sequence)}\">REMOVE=\"ALL\"</Custom>")
    write("registry-actions.wxi", actions)
    write("registry-sequence.wxi", sequence)
    with open(f"{directory}/registration.reg", "wb") as f:
        f.write(b"\xff\xfe" + "\r\n".join(reg).encode("utf-16-le") + "\r\n".encode("utf-16-le"))


def mentions(words):
    lowered = [w.lower() for w in words]
    for key, values in parse("-").items():
        for text in [key] + [f"{key}\t{n}\t{v[1]}" for n, v in values.items()]:
            if any(w in text.lower() for w in lowered):
                print(text)


def main(argv):
    if argv[:1] == ["--wxs"] and len(argv) == 4:
        return wxs(argv[1], argv[2], argv[3])
    if argv[:1] == ["--mentions"] and len(argv) > 1:
        return mentions(argv[1:])
    if len(argv) < 2:
        raise SystemExit(__doc__)
    under, excepted, rest = [], [], argv[2:]
    while rest:
        option, value, rest = rest[0], rest[1], rest[2:]
        (under if option == "--under" else excepted).append(value)
    diff(argv[0], argv[1], under, excepted)


if __name__ == "__main__":
    main(sys.argv[1:])
