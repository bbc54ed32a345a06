#!/usr/bin/env python3
"""Whole-program benchmark: `vexa --comandos` beside the command-line peers.

Builds its corpora in a scratch folder, then runs every chosen job's runners (Vexa and each peer)
in alternating rounds, each under GNU time for its peak memory, and prints per job the median
wall time of every runner, the ratio (peer time / Vexa time: above 1 means Vexa is faster) and
the peak resident memory. Run by hand, never in CI: the machine is shared, so only the ratios of
one run mean anything.

    bench/whole_program/run.py --list
    bench/whole_program/run.py --size small --rounds 3            # a quick run
    bench/whole_program/run.py --jobs 'zip-extract-*' --scratch ~/vexa-bench   # keeps corpora

Adding a job: append a `Job` to JOBS (its corpora are names in CORPORA, each a builder that
writes into its own folder once). A runner's `argv`, `stdin`, `cwd` and `prepare` receive a
`Ctx`: `ctx.corpus(name)` is a built corpus folder, `ctx.out` a fresh empty folder for this run
(on tmpfs where there is one), `ctx.vexa` the program. `prepare` runs untimed before each run.
Vexa's runner gives the commands and the dialogue answers (one per line, as `--comandos` reads
them from standard input) and a text its output must contain.
"""

from __future__ import annotations

import argparse
import fnmatch
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

REPO = Path(__file__).resolve().parents[2]
PASSWORD = "clave-de-prueba"


# ----------------------------------------------------------------------------------------------
# Corpora. Each builder fills `root` (an empty folder) for the given scale (1.0 = the full size).

WORDS = ("archivo carpeta datos informe tabla registro nombre fecha valor cuenta texto linea "
         "lista orden prueba copia origen destino tamano modo enlace usuario grupo clave "
         "resumen total parte bloque entrada salida proceso sistema version cambio nota").split()


def text_pool(size: int, seed: int) -> bytes:
    """Word text with numbers: compresses about as well as source code or logs."""
    rnd = random.Random(seed)
    out = []
    total = 0
    while total < size:
        line = " ".join(rnd.choices(WORDS, k=rnd.randint(4, 14)))
        line += f" {rnd.randint(0, 99999)}\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def build_mixed(root: Path, scale: float) -> None:
    """About 200 MB in 20,000 files: small text files, medium text files and random files, in
    200 folders of two levels, plus one file at the top for the edit jobs."""
    rnd = random.Random(1)
    count = max(200, int(20000 * scale))
    texts = text_pool(16 << 20, 2)
    noise = os.urandom(16 << 20)
    tree = root / "arbol"
    for i in range(count):
        folder = tree / f"grupo-{i % 20:02d}" / f"seccion-{(i // 20) % 10:02d}"
        if i < 200:
            folder.mkdir(parents=True, exist_ok=True)
        kind = i % 20
        if kind < 12:
            size, pool, ext = rnd.randint(100, 2000), texts, "txt"
        elif kind < 17:
            size, pool, ext = rnd.randint(4 << 10, 28 << 10), texts, "log"
        else:
            size, pool, ext = rnd.randint(8 << 10, 64 << 10), noise, "bin"
        start = rnd.randint(0, len(pool) - size)
        (folder / f"fichero-{i:06d}.{ext}").write_bytes(pool[start:start + size])
    (root / "zz-leeme.txt").write_bytes(texts[:4096])


def doc_text(size: int) -> bytes:
    """The files of /usr/include and /usr/share/doc one after another (compressed ones left
    out), repeated when they fall short: real text, as headers and manuals are."""
    pieces, total = [], 0
    for top in ("/usr/include", "/usr/share/doc"):
        for folder, dirs, names in sorted(os.walk(top)):
            dirs.sort()
            for name in sorted(names):
                path = Path(folder) / name
                if path.suffix in (".gz", ".xz", ".bz2", ".zst", ".png", ".jpg", ".gif"):
                    continue
                if path.is_symlink() or not path.is_file():
                    continue
                data = path.read_bytes()
                pieces.append(data)
                total += len(data)
                if total >= size:
                    return b"".join(pieces)[:size]
    if total == 0:
        sys.exit("/usr/include y /usr/share/doc no tienen ficheros")
    whole = b"".join(pieces)
    return (whole * (size // len(whole) + 1))[:size]


def build_mixed_doc(root: Path, scale: float) -> None:
    """About 200 MiB of real text and random data: 20 files of 4 MiB cut one after another from
    the concatenated files of /usr/include and /usr/share/doc, 8 random files of 10 MiB and
    20,000 text files of 1 to 8 KiB in 20 x 10 nested folders."""
    rnd = random.Random(11)
    large, count = max(1 << 20, int((4 << 20) * scale)), max(200, int(20000 * scale))
    text = doc_text(20 * large)
    tree = root / "arbol"
    for i in range(20):
        folder = tree / "textos"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"texto-{i:02d}.txt").write_bytes(text[i * large:(i + 1) * large])
    for i in range(8):
        folder = tree / "aleatorios"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"ruido-{i}.bin").write_bytes(os.urandom(max(1 << 20, int((10 << 20) * scale))))
    for i in range(count):
        folder = tree / f"grupo-{i % 20:02d}" / f"seccion-{(i // 20) % 10:02d}"
        if i < 200:
            folder.mkdir(parents=True, exist_ok=True)
        size = rnd.randint(1 << 10, 8 << 10)
        start = rnd.randint(0, len(text) - size)
        (folder / f"nota-{i:06d}.txt").write_bytes(text[start:start + size])


def build_small(root: Path, scale: float) -> None:
    """100,000 small text files in 100 folders."""
    rnd = random.Random(3)
    count = max(1000, int(100000 * scale))
    texts = text_pool(4 << 20, 4)
    tree = root / "pequenos"
    for i in range(count):
        folder = tree / f"carpeta-{i % 100:03d}"
        if i < 100:
            folder.mkdir(parents=True)
        size = rnd.randint(50, 1500)
        start = rnd.randint(0, len(texts) - size)
        (folder / f"nota-{i:06d}.txt").write_bytes(texts[start:start + size])


def build_big(root: Path, scale: float) -> None:
    """One file of 1 GiB of word text (16 MiB of distinct text repeated: the repeats lie far
    beyond deflate's window, so it compresses as fresh text would)."""
    size = max(16 << 20, int((1 << 30) * scale))
    block = text_pool(16 << 20, 5)
    with open(root / "grande.txt", "wb") as f:
        written = 0
        while written < size:
            piece = block[: size - written]
            f.write(piece)
            written += len(piece)


def build_zip_of(source: str, *zip_args: str) -> Callable[[Path, float, "Ctx"], None]:
    """An archive of a corpus made by Info-ZIP zip (an independent writer)."""

    def build(root: Path, scale: float, ctx: "Ctx") -> None:
        src = ctx.corpus(source)
        names = sorted(p.name for p in src.iterdir() if p.name != ".hecho")
        run_checked(["zip", "-q", "-r", *zip_args, str(root / "a.zip"), *names], cwd=src)

    return build


def build_rar_of(source: str) -> Callable[[Path, float, "Ctx"], None]:
    """An archive of a corpus made by the rar program at its default method (-m3)."""

    def build(root: Path, scale: float, ctx: "Ctx") -> None:
        src = ctx.corpus(source)
        names = sorted(p.name for p in src.iterdir() if not p.name.startswith("."))
        run_checked(["rar", "a", "-idq", "-m3", "-r", str(root / "a.rar"), *names], cwd=src)

    return build


def build_aes_zip(root: Path, scale: float, ctx: "Ctx") -> None:
    src = ctx.corpus("mixed")
    run_checked(["bsdtar", "--format", "zip", "--options", "zip:encryption=aes256",
                 "--passphrase", PASSWORD, "-cf", str(root / "a.zip"), "arbol", "zz-leeme.txt"],
                cwd=src)


def build_entries_zip(count: int) -> Callable[[Path, float], None]:
    """A ZIP of many tiny stored entries, written by Python's zipfile."""

    def build(root: Path, scale: float) -> None:
        n = max(100, int(count * scale))
        with zipfile.ZipFile(root / "a.zip", "w", zipfile.ZIP_STORED) as z:
            for i in range(n):
                name = f"modulo-{i % 50:02d}/paquete-{(i // 50) % 40:02d}/recurso-{i:06d}.txt"
                z.writestr(name, b"contenido\n")

    return build


def build_addition(root: Path, scale: float) -> None:
    (root / "nuevo-informe.txt").write_bytes(text_pool(256 << 10, 7))


def build_7z(kind: str) -> Callable[[Path, float, "Ctx"], None]:
    """The mixed tree as a.7z: "bsdtar" (one solid block), "folders" (many LZMA2 blocks, the
    layout parallel extraction works on), "py7zr" and "py7zr-aes" (the same archive without and
    with AES-256, for the cost of decryption)."""

    def build(root: Path, scale: float, ctx: "Ctx") -> None:
        src = ctx.corpus("mixed")
        archive = str(root / "a.7z")
        if kind == "bsdtar":
            run_checked(["bsdtar", "--format", "7zip", "-cf", archive, "arbol", "zz-leeme.txt"],
                        cwd=src)
        elif kind == "vexa":
            subprocess.run([ctx.vexa, "--comandos",
                            f"anadir-fuente {src / 'arbol'} {src / 'zz-leeme.txt'}; "
                            "ajustar formato 7z; ajustar nivel 5; ajustar nombre a; crear"],
                           input=f"{root}\n".encode(), check=True, stdout=subprocess.DEVNULL)
        elif kind == "folders":
            run_checked(["/usr/bin/python3",
                         str(REPO / "tests/engines/sevenzip/tools/make_folders.py"), archive,
                         str(src)])
        else:
            password = repr(PASSWORD) if kind == "py7zr-aes" else "None"
            run_checked(["/usr/bin/python3", "-c",
                         "import py7zr,sys\n"
                         f"with py7zr.SevenZipFile(sys.argv[1],'w',password={password}) as z:\n"
                         "  z.writeall('arbol','arbol'); z.write('zz-leeme.txt')\n", archive],
                        cwd=src)

    return build


def build_tar_of(source: str, name: str, *tar_args: str) -> Callable[[Path, float, "Ctx"], None]:
    """A TAR archive of a corpus written by GNU tar (an independent writer), compressed by the
    named program through -I (its multi-threaded form, as a user in a hurry would)."""

    def build(root: Path, scale: float, ctx: "Ctx") -> None:
        src = ctx.corpus(source)
        names = sorted(p.name for p in src.iterdir() if p.name != ".hecho")
        run_checked(["tar", *tar_args, "-cf", str(root / name), *names], cwd=src)

    return build


CORPORA: dict[str, Callable] = {
    "mixed": build_mixed,
    "mixed-doc": build_mixed_doc,
    "small": build_small,
    "big": build_big,
    "addition": build_addition,
    "mixed.zip": build_zip_of("mixed", "-6"),
    "mixed-aes.zip": build_aes_zip,
    "small.zip": build_zip_of("small", "-6"),
    "big-deflate.zip": build_zip_of("big", "-6"),
    "big-stored.zip": build_zip_of("big", "-0"),
    "mixed.rar": build_rar_of("mixed"),
    "small.rar": build_rar_of("small"),
    "entries-10k.zip": build_entries_zip(10000),
    "entries-100k.zip": build_entries_zip(100000),
    "entries-300k.zip": build_entries_zip(300000),
    "mixed.7z": build_7z("bsdtar"),
    "mixed-folders.7z": build_7z("folders"),
    "mixed-vexa.7z": build_7z("vexa"),
    "mixed-py7zr.7z": build_7z("py7zr"),
    "mixed-py7zr-aes.7z": build_7z("py7zr-aes"),
    "mixed.tar.zst": build_tar_of("mixed", "a.tar.zst", "-I", "zstd -3 -T0"),
    "mixed.tar.gz": build_tar_of("mixed", "a.tar.gz", "-I", "gzip -6"),
    "mixed.tar.xz": build_tar_of("mixed", "a.tar.xz", "-I", "xz -6 -T0"),
    "mixed-doc.tar.zst": build_tar_of("mixed-doc", "a.tar.zst", "-I", "zstd -3 -T0"),
    "mixed-doc.tar.xz": build_tar_of("mixed-doc", "a.tar.xz", "-I", "xz -6 -T0"),
    "small.tar.zst": build_tar_of("small", "a.tar.zst", "-I", "zstd -3 -T0"),
}


# ----------------------------------------------------------------------------------------------
# Jobs.

@dataclass
class Ctx:
    scratch: Path
    scale: float
    vexa: str
    out: Path = Path()

    def corpus(self, name: str) -> Path:
        folder = self.scratch / "corpus" / name
        stamp = folder / ".hecho"
        if not stamp.exists():
            if folder.exists():
                shutil.rmtree(folder)
            folder.mkdir(parents=True)
            builder = CORPORA[name]
            started = time.monotonic()
            print(f"  (preparando el corpus {name}…)", file=sys.stderr, flush=True)
            if builder.__code__.co_argcount == 3:
                builder(folder, self.scale, self)
            else:
                builder(folder, self.scale)
            stamp.write_text(f"{time.monotonic() - started:.1f} s\n")
        return folder

    def archive(self, name: str) -> Path:
        return self.corpus(name) / ("a.rar" if name.endswith(".rar") else "a.zip")


@dataclass
class Runner:
    name: str
    argv: Callable[[Ctx], list[str]]
    stdin: Callable[[Ctx], str] = lambda c: ""
    cwd: Callable[[Ctx], Optional[Path]] = lambda c: None
    prepare: Callable[[Ctx], None] = lambda c: None
    expect: str = ""            # a text the output must contain (Vexa's success message)
    output: Optional[Callable[[Ctx], Path]] = None   # a file whose size the table shows


def vexa(commands: Callable[[Ctx], str], answers: Callable[[Ctx], str] = lambda c: "",
         expect: str = "", prepare: Callable[[Ctx], None] = lambda c: None,
         output: Optional[Callable[[Ctx], Path]] = None) -> Runner:
    return Runner("vexa", lambda c: [c.vexa, "--comandos", commands(c)], answers,
                  prepare=prepare, expect=expect, output=output)


@dataclass
class Job:
    name: str
    what: str
    vexa: Runner
    peers: list[Runner]
    corpora: list[str] = field(default_factory=list)


def edit_copy(c: Ctx) -> None:
    shutil.copyfile(c.archive("mixed.zip"), c.out / "edicion.zip")


def extraction(name: str, what: str, corpus: str) -> Job:
    return Job(
        name, what,
        vexa(lambda c: f"abrir {c.archive(corpus)}; extraer", lambda c: f"{c.out}\n",
             "Extracción completada"),
        [Runner("unzip", lambda c: ["unzip", "-q", str(c.archive(corpus)), "-d", str(c.out)]),
         Runner("bsdtar", lambda c: ["bsdtar", "-xf", str(c.archive(corpus)), "-C", str(c.out)])],
        [corpus])


def extraction7z(name: str, what: str, corpus: str) -> Job:
    archive = lambda c: c.corpus(corpus) / "a.7z"
    return Job(
        name, what,
        vexa(lambda c: f"abrir {archive(c)}; extraer", lambda c: f"{c.out}\n",
             "Extracción completada"),
        [Runner("bsdtar", lambda c: ["bsdtar", "-xf", str(archive(c)), "-C", str(c.out)])],
        [corpus])


def vexa_creation(source, settings: str, extension: str, format_word: str) -> Runner:
    """`vexa` creating nuevo.<extension> from `source(c)` with the given `ajustar` settings."""
    return vexa(lambda c: f"anadir-fuente {source(c)}; {settings}; ajustar nombre nuevo; crear",
                lambda c: f"{c.out}\n", f"{format_word} creado correctamente",
                output=lambda c: c.out / f"nuevo.{extension}")


def creation(name: str, what: str, corpus: str, item: str) -> Job:
    src = lambda c: c.corpus(corpus)
    return Job(
        name, what,
        vexa_creation(lambda c: src(c) / item, "ajustar formato zip", "zip", "ZIP"),
        [Runner("zip -6", lambda c: ["zip", "-q", "-r", "-6", str(c.out / "nuevo.zip"), item],
                cwd=src, output=lambda c: c.out / "nuevo.zip"),
         Runner("bsdtar", lambda c: ["bsdtar", "--format", "zip", "-cf", str(c.out / "nuevo.zip"),
                                     item], cwd=src, output=lambda c: c.out / "nuevo.zip")],
        [corpus])


def extraction_tar(name: str, what: str, corpus: str, file: str, program: str) -> Job:
    """A TAR extraction beside GNU tar with the compressor as its own process (what -I gives:
    decoding and writing on two cores) and bsdtar."""
    archive = lambda c: c.corpus(corpus) / file
    return Job(
        name, what,
        vexa(lambda c: f"abrir {archive(c)}; extraer", lambda c: f"{c.out}\n",
             "Extracción completada"),
        [Runner(f"tar -I '{program}'",
                lambda c: ["tar", "-I", program, "-xf", str(archive(c)), "-C", str(c.out)]),
         Runner("bsdtar", lambda c: ["bsdtar", "-xf", str(archive(c)), "-C", str(c.out)])],
        [corpus])


def creation_tar(name: str, what: str, level: int, corpus: str = "mixed") -> Job:
    src = lambda c: c.corpus(corpus)
    out = lambda c: c.out / "nuevo.tar.zst"
    return Job(
        name, what,
        vexa_creation(lambda c: src(c) / "arbol",
                      f"ajustar formato tar; ajustar compresion-tar zstd; ajustar nivel {level}",
                      "tar.zst", "TAR"),
        [Runner(f"tar -I 'zstd -{level} -T0'",
                lambda c: ["tar", "-I", f"zstd -{level} -T0", "-cf", str(out(c)), "arbol"],
                cwd=src, output=out)],
        [corpus])


def creation_7z(name: str, what: str, level: int, corpus: str = "mixed") -> Job:
    """7z LZMA2 creation of the mixed tree beside bsdtar at the same level (one solid block, one
    core); the table's size column shows how much larger Vexa's parallel blocks make it."""
    src = lambda c: c.corpus(corpus)
    out = lambda c: c.out / "nuevo.7z"
    return Job(
        name, what,
        vexa_creation(lambda c: src(c) / "arbol", f"ajustar formato 7z; ajustar nivel {level}",
                      "7z", "7z"),
        [Runner("bsdtar", lambda c: ["bsdtar", "--format", "7zip", "--options",
                                     f"7zip:compression=lzma2,7zip:compression-level={level}",
                                     "-cf", str(out(c)), "arbol"], cwd=src, output=out)],
        [corpus])


def opening(name: str, what: str, corpus: str, extra: str = "") -> Job:
    return Job(
        name, what,
        vexa(lambda c: f"abrir {c.archive(corpus)}{extra}", expect="Abierto:"),
        [Runner("zipinfo -1", lambda c: ["zipinfo", "-1", str(c.archive(corpus))])],
        [corpus])


def rar_extraction(name: str, what: str, corpus: str) -> Job:
    # rar and unrar write into the folder given with a final "/", as Vexa writes into its own.
    return Job(
        name, what,
        vexa(lambda c: f"abrir {c.archive(corpus)}; extraer", lambda c: f"{c.out}\n",
             "Extracción completada"),
        [Runner(tool, lambda c, tool=tool: [tool, "x", "-idq", "-y", str(c.archive(corpus)),
                                            f"{c.out}/"]) for tool in ("rar", "unrar")],
        [corpus])


def rar_creation(name: str, what: str, corpus: str, item: str) -> Job:
    src = lambda c: c.corpus(corpus)
    return Job(
        name, what,
        vexa_creation(lambda c: src(c) / item, "ajustar formato rar; ajustar nivel 3", "rar",
                      "RAR"),
        [Runner("rar a -m3", lambda c: ["rar", "a", "-idq", "-m3", "-r", str(c.out / "nuevo.rar"),
                                        item], cwd=src, output=lambda c: c.out / "nuevo.rar")],
        [corpus])


COPY_PEER = Runner("cp", lambda c: ["cp", str(c.archive("mixed.zip")), str(c.out / "copia.zip")])

JOBS: list[Job] = [
    extraction("zip-extract-mixed", "ZIP extract, 200 MB mixed tree (20k files)", "mixed.zip"),
    extraction("zip-extract-small", "ZIP extract, 100,000 small files", "small.zip"),
    extraction("zip-extract-big-deflate", "ZIP extract, 1 GiB deflated file", "big-deflate.zip"),
    extraction("zip-extract-big-stored", "ZIP extract, 1 GiB stored file", "big-stored.zip"),
    Job("zip-extract-aes", "ZIP AES-256 extract, mixed tree (20k entries)",
        vexa(lambda c: f"abrir {c.archive('mixed-aes.zip')}; extraer",
             lambda c: f"{PASSWORD}\n1\n{c.out}\n", "Extracción completada"),
        [Runner("bsdtar", lambda c: ["bsdtar", "-xf", str(c.archive("mixed-aes.zip")),
                                     "--passphrase", PASSWORD, "-C", str(c.out)])],
        ["mixed-aes.zip"]),
    creation("zip-create-mixed", "ZIP create deflate 6, mixed tree", "mixed", "arbol"),
    creation("zip-create-big", "ZIP create deflate 6, 1 GiB file", "big", "grande.txt"),
    creation_7z("7z-create-mixed", "create 7z LZMA2 level 5, mixed tree", 5),
    creation_7z("7z-create-doc", "create 7z LZMA2 level 5, mixed tree of real text", 5,
                "mixed-doc"),
    Job("zip-add", "add 1 file to the mixed-tree ZIP",
        vexa(lambda c: f"abrir {c.out / 'edicion.zip'}; "
                       f"anadir {c.corpus('addition') / 'nuevo-informe.txt'}",
             expect="ZIP actualizado", prepare=edit_copy),
        [Runner("zip -u", lambda c: ["zip", "-q", "-u", str(c.out / "edicion.zip"),
                                     "nuevo-informe.txt"],
                cwd=lambda c: c.corpus("addition"), prepare=edit_copy),
         COPY_PEER],
        ["mixed.zip", "addition"]),
    # Row 2 of the archive's top folder is the file beside the tree ("arbol/" comes first).
    Job("zip-delete", "delete 1 entry of the mixed-tree ZIP",
        vexa(lambda c: f"abrir {c.out / 'edicion.zip'}; eliminar 2", lambda c: "2\n",
             expect="ZIP actualizado", prepare=edit_copy),
        [Runner("zip -d", lambda c: ["zip", "-q", "-d", str(c.out / "edicion.zip"),
                                     "zz-leeme.txt"], prepare=edit_copy),
         COPY_PEER],
        ["mixed.zip"]),
    Job("zip-rename", "rename 1 entry of the mixed-tree ZIP",
        vexa(lambda c: f"abrir {c.out / 'edicion.zip'}; renombrar 2 renombrado.txt",
             expect="ZIP actualizado", prepare=edit_copy),
        [Runner("zipnote -w", lambda c: ["zipnote", "-w", str(c.out / "edicion.zip")],
                stdin=lambda c: "@ zz-leeme.txt\n@=renombrado.txt\n", prepare=edit_copy),
         COPY_PEER],
        ["mixed.zip"]),
    extraction7z("7z-extract-mixed", "7z LZMA2 extract, mixed tree, one solid block (bsdtar)",
                 "mixed.7z"),
    extraction7z("7z-extract-vexa", "7z LZMA2 extract, mixed tree as Vexa writes it (level 5)",
                 "mixed-vexa.7z"),
    extraction7z("7z-extract-folders", "7z LZMA2 extract, mixed tree in 4 MiB blocks",
                 "mixed-folders.7z"),
    # The peer is Vexa itself on the same archive unencrypted: ratio >= 0.77 means the AES
    # extraction takes at most 1.3 times as long.
    Job("7z-extract-aes", "7z AES-256 extract vs the same unencrypted (py7zr archives)",
        vexa(lambda c: f"abrir {c.corpus('mixed-py7zr-aes.7z') / 'a.7z'}; extraer",
             lambda c: f"{PASSWORD}\n{c.out}\n", "Extracción completada"),
        [Runner("vexa sin cifrar",
                lambda c: [c.vexa, "--comandos",
                           f"abrir {c.corpus('mixed-py7zr.7z') / 'a.7z'}; extraer"],
                lambda c: f"{c.out}\n", expect="Extracción completada"),
         Runner("py7zr", lambda c: ["/usr/bin/python3", "-c",
                                    "import py7zr,sys\n"
                                    "py7zr.SevenZipFile(sys.argv[1],password=sys.argv[2])"
                                    ".extractall(sys.argv[3])",
                                    str(c.corpus("mixed-py7zr-aes.7z") / "a.7z"), PASSWORD,
                                    str(c.out)])],
        ["mixed-py7zr.7z", "mixed-py7zr-aes.7z"]),
    extraction_tar("tar-extract-zst", "TAR zstd extract, mixed tree (20k files)",
                   "mixed.tar.zst", "a.tar.zst", "zstd -T0"),
    extraction_tar("tar-extract-gz", "TAR gzip extract, mixed tree (20k files)",
                   "mixed.tar.gz", "a.tar.gz", "gzip"),
    extraction_tar("tar-extract-xz", "TAR xz extract, mixed tree (20k files)",
                   "mixed.tar.xz", "a.tar.xz", "xz -T0"),
    extraction_tar("tar-extract-zst-doc", "TAR zstd extract, mixed tree of real text",
                   "mixed-doc.tar.zst", "a.tar.zst", "zstd -T0"),
    extraction_tar("tar-extract-xz-doc", "TAR xz extract, mixed tree of real text",
                   "mixed-doc.tar.xz", "a.tar.xz", "xz -T0"),
    extraction_tar("tar-extract-small", "TAR zstd extract, 100,000 small files",
                   "small.tar.zst", "a.tar.zst", "zstd -T0"),
    creation_tar("tar-create-zst3", "TAR zstd level 3 create, mixed tree", 3),
    creation_tar("tar-create-zst6", "TAR zstd level 6 create, mixed tree", 6),
    creation_tar("tar-create-zst3-doc", "TAR zstd level 3 create, mixed tree of real text", 3,
                 "mixed-doc"),
    creation_tar("tar-create-zst6-doc", "TAR zstd level 6 create, mixed tree of real text", 6,
                 "mixed-doc"),
    opening("zip-open-10k", "open 10,000 entries", "entries-10k.zip"),
    opening("zip-open-100k", "open a 100,000-entry ZIP", "entries-100k.zip"),
    opening("zip-search-100k", "open + buscar over 100,000 entries", "entries-100k.zip",
            "; buscar recurso-0001"),
    opening("zip-open-300k", "open 300,000 entries (peak memory)", "entries-300k.zip"),
    rar_extraction("rar-extract-mixed", "RAR -m3 extract, 200 MB mixed tree (20k files)",
                   "mixed.rar"),
    rar_extraction("rar-extract-small", "RAR extract, 100,000 small files", "small.rar"),
    rar_creation("rar-create-mixed", "RAR create -m3, mixed tree (Vexa runs rar)", "mixed", "arbol"),
]


# ----------------------------------------------------------------------------------------------
# Running.

def run_checked(argv: list[str], cwd: Optional[Path] = None) -> None:
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


@dataclass
class Sample:
    seconds: float
    peak_kib: int
    size: Optional[int]


def run_once(runner: Runner, ctx: Ctx, work: Path, env: dict[str, str]) -> Sample:
    if ctx.out.exists():
        shutil.rmtree(ctx.out)
    ctx.out.mkdir(parents=True)
    runner.prepare(ctx)
    report = work / "time.txt"
    argv = ["/usr/bin/time", "-v", "-o", str(report), *runner.argv(ctx)]
    cwd = runner.cwd(ctx)
    started = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, input=runner.stdin(ctx).encode(), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - started
    text = done.stdout.decode(errors="replace")
    said = text + done.stderr.decode(errors="replace")
    if done.returncode != 0 or (runner.expect and runner.expect not in said):
        sys.exit(f"{runner.name} falló (código {done.returncode}):\n{' '.join(argv)}\n"
                 f"{text[-2000:]}\n{done.stderr.decode(errors='replace')[-2000:]}")
    peak = 0
    for line in report.read_text().splitlines():
        if "Maximum resident set size" in line:
            peak = int(line.rsplit(":", 1)[1])
    size = runner.output(ctx).stat().st_size if runner.output else None
    return Sample(seconds, peak, size)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", nargs="*", default=["*"], help="job names or patterns")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", choices=["full", "small"], default="full",
                        help="small: corpora at a tenth of the size, for quick runs")
    parser.add_argument("--scratch", type=Path,
                        help="folder for the corpora, kept and reused (default: a new one, "
                             "removed at the end)")
    parser.add_argument("--out", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir()
                        else None, help="where runs write (default: tmpfs /dev/shm)")
    parser.add_argument("--vexa", default=str(REPO / "build" / "ui" / "vexa"))
    parser.add_argument("--list", action="store_true", help="list the jobs and stop")
    args = parser.parse_args()

    chosen = [j for j in JOBS if any(fnmatch.fnmatch(j.name, p) for p in args.jobs)]
    if args.list or not chosen:
        for j in JOBS:
            print(f"{j.name:26} {j.what}")
        return
    for tool in ["/usr/bin/time", args.vexa]:
        if not os.access(tool, os.X_OK):
            sys.exit(f"Falta {tool} (scripts/setup instala «time»; scripts/build construye vexa)")

    own_scratch = args.scratch is None
    scratch = Path(tempfile.mkdtemp(prefix="vexa-bench-")) if own_scratch else args.scratch
    scratch = scratch / args.size if not own_scratch else scratch
    scratch.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="vexa-bench-run-", dir=args.out))
    env = dict(os.environ, HOME=str(work / "home"), XDG_CONFIG_HOME=str(work / "home" / ".config"),
               XDG_DATA_HOME=str(work / "home" / ".local" / "share"), LC_ALL="C.UTF-8")
    (work / "home").mkdir()
    ctx = Ctx(scratch, 1.0 if args.size == "full" else 0.1, args.vexa, work / "out")
    try:
        for job in chosen:
            for name in job.corpora:
                ctx.corpus(name)
        rows = []
        for job in chosen:
            runners = [job.vexa, *job.peers]
            samples: dict[str, list[Sample]] = {r.name: [] for r in runners}
            for round_ in range(args.rounds):
                # Alternate the order so no runner always follows the same one.
                order = runners[round_ % len(runners):] + runners[:round_ % len(runners)]
                for runner in order:
                    samples[runner.name].append(run_once(runner, ctx, work, env))
            rows.append((job, samples))
            print_job(job, samples)
        print_table(rows, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if own_scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def medians(s: list[Sample]) -> tuple[float, float, Optional[int]]:
    return (statistics.median(x.seconds for x in s),
            max(x.peak_kib for x in s) / 1024,
            s[0].size)


def print_job(job: Job, samples: dict[str, list[Sample]]) -> None:
    v, _, _ = medians(samples["vexa"])
    parts = [f"{name} {medians(s)[0]:.3f}s" for name, s in samples.items()]
    print(f"[{job.name}] " + ", ".join(parts) + f"  (vexa {v:.3f}s)", file=sys.stderr, flush=True)


def print_table(rows, args) -> None:
    print(f"\nMedians of {args.rounds} alternating rounds, corpora '{args.size}'; "
          "ratio = peer time / Vexa time (above 1: Vexa is faster); peak = max RSS.\n")
    print("| job | Vexa | Vexa peak | peer | peer time | peer peak | ratio | size (Vexa / peer) |")
    print("|---|---|---|---|---|---|---|---|")
    for job, samples in rows:
        vt, vpeak, vsize = medians(samples["vexa"])
        for name, s in samples.items():
            if name == "vexa":
                continue
            pt, ppeak, psize = medians(s)
            sizes = f"{vsize / psize:.4f}" if vsize and psize else ""
            print(f"| {job.what} | {vt:.3f} s | {vpeak:.1f} MiB | {name} | {pt:.3f} s | "
                  f"{ppeak:.1f} MiB | {pt / vt:.2f} | {sizes} |")


if __name__ == "__main__":
    main()
