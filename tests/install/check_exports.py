#!/usr/bin/python3
"""Lists what each installed library exports and fails on any symbol outside
the components' namespace (a standard template's instantiation, a helper of
the compiler's) or not declared in an installed header: a backend detail or
a test seam that leaves a library is a fault, even when nobody calls it yet.
A library's calls to functions it defines itself must be bound inside it,
not through its procedure linkage table, where a program's function of the
same name would take their place. A Qt plugin (--plugin) exports its two
entry points and nothing else.

usage: check_exports.py INCLUDE_DIR LIBRARY... [--plugin PLUGIN...]
"""
import re
import subprocess
import sys

# Names that moc and the compiler add to exported classes on their own.
GENERATED = {"qt_metacall", "qt_metacast", "metaObject", "staticMetaObject", "qt_static_metacall",
             "operator"}
# Symbols the compiler emits about a name rather than the name itself.
PREFIXES = ("vtable for ", "typeinfo for ", "typeinfo name for ", "non-virtual thunk to ",
            "guard variable for ", "VTT for ")
NAMESPACE = "kv52804"
PLUGIN_ENTRIES = {"qt_plugin_instance", "qt_plugin_query_metadata_v2"}
# The linker's own markers.
LINKER = {"__bss_start", "_edata", "_end"}


def public_names(include_dir):
    names = set()
    import pathlib
    for header in pathlib.Path(include_dir).rglob("*.h"):
        text = header.read_text(encoding="utf-8")
        text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
        text = re.sub(r"//[^\n]*", " ", text)
        text = re.sub(r'"(?:\\.|[^"\\])*"', " ", text)
        names.update(re.findall(r"[A-Za-z_]\w*", text))
    return names


def qualified_parts(symbol):
    """The parts of a demangled symbol's own name, without its arguments and
    template arguments: "TComPort::Open()" gives ["TComPort", "Open"]."""
    for prefix in PREFIXES:
        if symbol.startswith(prefix):
            symbol = symbol[len(prefix):]
    depth, name = 0, ""
    for ch in symbol:
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif depth == 0:
            if ch == "(":
                break
            name += ch
    name = re.sub(r"\[abi:\w+\]", "", name).split(" const")[0].strip()
    # A return type written before the name ("TComEvents MaskToEvents") is not
    # part of it.
    name = name.split(" ")[-1]
    return [part.lstrip("~") for part in name.split("::") if part]


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", "--demangle", library],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split(" ", 2)
        if len(fields) == 3 and fields[1] != "A" and fields[2] not in LINKER:
            yield fields[2]


def interposable_calls(library):
    """Exported functions of the library that it calls through its PLT."""
    defined = {line.split()[-1] for line in subprocess.run(
        ["nm", "-D", "--defined-only", library], check=True, capture_output=True,
        text=True).stdout.splitlines() if line.strip()}
    relocations = subprocess.run(["readelf", "-rW", library], check=True, capture_output=True,
                                 text=True).stdout
    called = {line.split()[4].split("@")[0] for line in relocations.splitlines()
              if "JUMP_SLOT" in line and len(line.split()) > 4}
    return sorted(defined & called)


def main():
    args = sys.argv[1:]
    plugins = args[args.index("--plugin") + 1:] if "--plugin" in args else []
    include_dir, libraries = args[0], args[1:len(args) - len(plugins) - (1 if plugins else 0)]
    names = public_names(include_dir) | GENERATED
    failed = False
    for plugin in plugins:
        symbols = set(exported(plugin))
        if symbols != PLUGIN_ENTRIES:
            print(f"{plugin}: exports {sorted(symbols - PLUGIN_ENTRIES)}, "
                  f"lacks {sorted(PLUGIN_ENTRIES - symbols)}")
            failed = True
        print(f"{plugin}: {len(symbols)} symbols")
    for library in libraries:
        count = 0
        for symbol in exported(library):
            parts = qualified_parts(symbol)
            count += 1
            if not parts or parts[0] != NAMESPACE:
                print(f"{library}: exports {symbol!r}, which is outside namespace {NAMESPACE}")
                failed = True
                continue
            unknown = [part for part in parts if not part.startswith("operator") and part not in names]
            if unknown:
                print(f"{library}: exports {symbol!r}, and {', '.join(unknown)} is in no installed header")
                failed = True
        for symbol in interposable_calls(library):
            name = subprocess.run(["c++filt", symbol], capture_output=True, text=True).stdout.strip()
            print(f"{library}: calls its own {name} through the PLT")
            failed = True
        print(f"{library}: {count} symbols")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
