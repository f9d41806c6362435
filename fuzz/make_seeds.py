#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into fuzz/corpus/.

Each seed is a small conference scene written out by hand below, in the
input format that the target's header comment describes. The files are kept
in the repository (the corpus replay runs them in every configuration); run
this again after changing a scene or an input format:

    python3 fuzz/make_seeds.py
"""
import pathlib
import shutil

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def cp932(text: str) -> bytes:
    return text.encode("cp932")


# --- relay ---------------------------------------------------------------
# [header] then records [sender][length][bytes]; see relay_fuzz.cpp.

FRESH = 0x80
KEEP = 0x00


def fillers(pairs: int) -> int:
    """A header that logs in 2 x pairs filler participants on a fresh relay."""
    assert 0 <= pairs <= 0x3F
    return FRESH | 0x40 | pairs


def record(sender: int, datagram: bytes) -> bytes:
    length = len(datagram)
    if length < 255:
        return bytes([sender, length]) + datagram
    steps, rest = divmod(length - 255, 4)
    assert rest == 0 and steps <= 255, f"a relay record cannot say {length} bytes"
    return bytes([sender, 255, steps]) + datagram


def padded(datagram: bytes) -> bytes:
    """Lengthened with 'x' to a length a record can say."""
    while len(datagram) >= 255 and (len(datagram) - 255) % 4 != 0:
        datagram += b"x"
    return datagram


def relay(header: int, *records) -> bytes:
    return bytes([header]) + b"".join(record(sender, data) for sender, data in records)


KANJI_16 = cp932("会議室予約表確認連絡担当者各位")  # 15 characters, 30 bytes
assert len(KANJI_16) == 30

RELAY_SEEDS = {
    "login_chat_leave": relay(
        FRESH,
        (0, b"!alice+hi"),
        (1, cp932("!太郎+こんにちは")),
        (0, b"alice: x"),
        (1, cp932("太郎: 表示はソフトで")),  # trail bytes 0x5C
        (1, cp932("#太郎")),
        (0, b"#alice"),
    ),
    "login_forms": relay(
        FRESH,
        (0, b"!ab+cd+ef"),
        (1, b"!+ab+cd"),
        (2, b"!++ab+cd"),
        (3, b"!a+"),
        (4, b"!a++"),
    ),
    "logins_without_a_name": relay(
        FRESH,
        (0, b"!"),
        (1, b"!+"),
        (2, b"!+++"),
        (3, b"!nameonly"),
        (4, b"!++nameonly"),
        (5, b"!\x81+lead byte alone"),
        (6, b"!\x82+"),
        (7, b"!\xe0"),
    ),
    "long_ascii_names": relay(
        FRESH,
        (0, b"!" + b"n" * 40 + b"+t"),
        (1, b"!" + b"m" * 200 + b"+t"),
        (0, b"#" + b"n" * 40),
        (1, b"#" + b"m" * 31),
    ),
    "names_cut_inside_a_character": relay(
        FRESH,
        (0, b"!" + KANJI_16 + cp932("会") + b"+t"),  # 32 bytes: the cut keeps 30
        (1, b"!a" + KANJI_16 + cp932("会") + b"+t"),  # 33 bytes: the cut keeps 31
        (2, b"!" + cp932("ｻﾄｳ") * 12 + b"+t"),  # half-width katakana are single bytes
        (0, b"#" + KANJI_16 + cp932("会")),
        (1, b"#a" + KANJI_16),
        (2, b"#" + cp932("ｻﾄｳ") * 12),
    ),
    "logged_in_twice": relay(
        FRESH,
        (0, b"!a+1"),
        (0, b"!a+2"),
        (0, b"#a"),
        (0, b"#a"),
        (0, b"#a"),
        (5, b""),
    ),
    "same_host_other_ports": relay(
        FRESH,
        (0, b"!same+x"),
        (1, b"!same+y"),
        (2, b"!other+z"),
        (1, b"#same"),
        (8, b"#other"),  # the other host: matches nothing
        (2, b"#other"),
    ),
    "a_freed_slot_is_reused": relay(
        FRESH,
        (0, b"!a+x"),
        (1, b"!b+x"),
        (2, b"!c+x"),
        (1, b"#b"),
        (3, b"!d+x"),
        (3, b"line to a, c and d"),
    ),
    "full_table": relay(
        fillers(50),
        (0, b"!late+refused"),
        (9, b"filler line"),
        (0, b"#filler0"),  # wrong host for filler0: nothing freed
    ),
    "full_table_then_a_leave": relay(
        fillers(50),
        (0, b"!late+refused"),
        (8, b"#nobody"),
        (1, b"!late+still refused"),
    ),
    "past_the_limit": relay(fillers(63), (0, b"!late+x"), (1, b"chat")),
    "leaves_nobody_sent": relay(
        FRESH,
        (0, b"#"),
        (1, b"#ghost"),
        (2, b"##"),
        (3, b"#!"),
        (4, b"#" + cp932("幽霊")),
        (5, b"!real+x"),
        (6, b"#ghost"),
    ),
    "zero_length_and_nul_bytes": relay(
        FRESH,
        (0, b"!a+x"),
        (1, b""),
        (2, b"\x00abc"),
        (3, b"!na\x00me+x"),
        (4, b"#\x00a"),
        (5, b"ab\x00cd"),
        (6, b"!b+\x00"),
    ),
    "longest_datagrams": relay(
        FRESH,
        (0, b"!a+x"),
        (1, b"y" * 1023),
        (2, b"!b+" + b"t" * 1020),
        (3, b"#" + b"n" * 1022),
        (4, b"z" * 1027),  # past the limit: never reaches the relay
        (5, b"w" * 1275),
    ),
    "composed_lines_past_the_limit": relay(
        FRESH,
        (0, b"!" + b"n" * 31 + b"+" + cp932("長") * 495),
        (1, b"#" + cp932("退") * 511),
        (2, b"#" + b"x" + cp932("退") * 510 + b"x"),
    ),
    "names_with_marks": relay(
        FRESH,
        (0, b"!!x+hi"),
        (0, b"!x: line from a name that starts with !"),
        (1, b"!a+b+c"),
        (1, b"#a+b"),  # the stored name is "a": never matches
        (1, b"#a"),
        (2, b"!#h+hi"),
        (2, b"#h: a line that reads as a leave"),
    ),
    "every_sender": relay(
        FRESH,
        *[(sender, b"!p%d+x" % sender) for sender in range(16)],
        *[(sender, b"line %d" % sender) for sender in range(16)],
        *[(sender, b"#p%d" % sender) for sender in range(16)],
    ),
    "as_an_office_service": relay(
        FRESH | 0x01,
        (0, b"!alice+hi"),
        (1, b"line from a stranger"),
        (9, b"#alice"),  # alice's name, another host
        (0, cp932("!ありす+また来ました")),  # the same endpoint: the same place, renamed
        *[(sender, padded(b"!p%d+" % sender + cp932("長") * 300)) for sender in range(2, 16)],
        (1, padded(b"!bob+" + b"x" * 1000)),  # history lines past the limit once stamped
        (0, cp932("#ありす")),
        (0, b"after leaving"),
    ),
    "state_kept_from_before": relay(
        KEEP,
        (0, b"line into whatever the table holds"),
        (1, b"!late+x"),
        (1, b"#late"),
    ),
}


# --- client --------------------------------------------------------------
# Records [flags][length / 5][bytes]; see client_fuzz.cpp.

NEST = 1
REPEAT_70 = 2
TOO_LONG = 4

ACCEPTED = cp932("ログインしました")
REFUSAL = cp932("定員オーバーでログインできません")


def fives(data: bytes, pad: bytes = b" ") -> bytes:
    """Pads a datagram to a multiple of 5 bytes, as the client record needs."""
    return data + pad * (-len(data) % 5)


def crecord(flags: int, data: bytes) -> bytes:
    assert len(data) % 5 == 0 and len(data) // 5 <= 255
    return bytes([flags, len(data) // 5]) + data


def client(*records) -> bytes:
    return b"".join(crecord(flags, data) for flags, data in records)


CLIENT_SEEDS = {
    # A NUL ends a received datagram, so padding with NUL bytes delivers the
    # fixed replies exactly.
    "replies": client(
        (0, fives(ACCEPTED, b"\0")),
        (0, fives(b"alice: hi")),
        (NEST, fives(REFUSAL, b"\0")),
        (0, fives(b"x")),
    ),
    "replies_padded_with_blanks": client((0, fives(ACCEPTED)), (0, fives(REFUSAL)), (0, fives(b"after"))),
    "replies_with_more": client(
        (0, fives(ACCEPTED + b"X")),
        (0, fives(REFUSAL + b"X")),
        (0, fives(b"X" + ACCEPTED)),
    ),
    "nested_refusals": client(
        (NEST, fives(REFUSAL, b"\0")),
        (NEST, fives(REFUSAL, b"\0")),
        (0, fives(b"after")),
    ),
    "clear_then_refusal": client(
        (REPEAT_70 | NEST, b"y" * 1000),
        (0, fives(REFUSAL, b"\0")),
    ),
    "flood_during_the_clearing_box": client(
        (REPEAT_70 | NEST, b"z" * 1020),
        (REPEAT_70 | NEST, b"w" * 1000),
        (0, fives(b"last")),
    ),
    "long_lines": client((REPEAT_70, b"z" * 1020), (0, b"q" * 1025)),
    "too_long_in_and_out_of_boxes": client(
        (TOO_LONG | NEST, fives(b"")),
        (0, fives(b"after the box")),
        (TOO_LONG | REPEAT_70, fives(b"a")),
        (NEST, fives(REFUSAL, b"\0")),
        (TOO_LONG, fives(b"b")),
    ),
    "line_breaks_and_nul_bytes": client(
        (0, fives(b"a\r\nb\r\n")),
        (0, fives(b"\0hidden")),
        (0, fives(b"ab\0cd")),
        (0, b""),
    ),
    "japanese_text": client(
        (0, fives(cp932("佐藤 :おはようございます。表示はソフトで"))),
        (0, fives(cp932("半角ｶﾀｶﾅもＯＫ～"))),
        (0, fives(cp932("鈴木さんが退室しました"))),
    ),
    "half_character_at_the_end": client(
        (0, fives(b"\x82", b"\x82")),
        (0, b"\x81" * 1020),
    ),
}


def write(folder: pathlib.Path, seeds: dict) -> None:
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main() -> None:
    write(CORPUS / "relay", RELAY_SEEDS)
    write(CORPUS / "client", CLIENT_SEEDS)
    print(f"{len(RELAY_SEEDS)} relay seeds, {len(CLIENT_SEEDS)} client seeds in {CORPUS}")


if __name__ == "__main__":
    main()
