#!/usr/bin/env python3
"""Writes the seed corpora of the unit and port fuzzers (fuzz/corpus/<name>/):
well-formed reply sections and cache images in each fuzzer's input format (see
the comment at the top of fuzz/<name>.cpp). Run it again after a format change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(*values):
    return b"".join(struct.pack("<f", v) for v in values)


def op(code, body):
    """One operation record: op byte, length byte (+256 through bit 5), bytes."""
    n = len(body)
    assert n < 512
    if n >= 256:
        code |= 0x20
    return bytes([code, n & 0xFF]) + body


def write(name, seeds):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    for seed_name, data in seeds.items():
        with open(os.path.join(folder, seed_name), "wb") as f:
            f.write(data)


# ---------------------------------------------------------------- AC unit
def ac_analog(channels):
    out = bytes([channels])
    for k in range(channels):
        out += f32(230.0 + k, 231.0, 229.5, 50.0) + bytes([0])
    return out + f32(18.0, 18.5, 17.5)


def ac_switch(states):
    return bytes([len(states)]) + bytes(states) + bytes([3, 0, 1, 0])


def ac_alarm(channels, alerts=(0, 1, 2, 3)):
    out = bytes([0])
    for _ in range(channels):
        out += bytes(alerts) + bytes([0, 1, 0])
    return out + bytes([1, 2, 3])


def ac_image(channels):
    record = struct.pack("<I", 11) + f32(18.0, 18.5, 17.5) + bytes([channels, 2])
    record += bytes([1, 0] + [0] * 6) + bytes([3, 0, 1, 0]) + bytes([0, 0, 0]) + bytes(7)
    assert len(record) == 40
    channel = f32(230.0, 231.0, 229.5, 50.0) + bytes([0, 0, 1, 2, 3, 1, 0])
    assert len(channel) == 23
    return record + channel * channels


ROUND, QUERY = 0x04, 0x40
write("ac", {
    "one_channel_round": op(0x00, ac_analog(1)) + op(0x01, ac_switch([1, 0]))
    + op(0x02 | ROUND | QUERY, ac_alarm(1)) + b"\x00",
    "two_channels_round": op(0x00, ac_analog(2)) + op(0x02 | ROUND | QUERY, ac_alarm(2)) + b"\x01",
    "restore_then_round": op(0x03 | QUERY, ac_image(1)) + b"\x00" + op(0x02 | ROUND, ac_alarm(1)),
    "restore_three_channels": op(0x03 | ROUND | QUERY, ac_image(3)) + b"\x02",
    "switch_count_over_max": op(0x01, bytes([9] + [1] * 9 + [3, 0, 0, 0])),
})


# ---------------------------------------------------------------- DC unit
def dc_analog(m, n, p):
    return f32(53.5, 30.0) + bytes([m]) + f32(*[1.0] * m) + bytes([n]) + f32(*[2.0] * n) \
        + bytes([p]) + f32(*[3.0] * p)


def dc_alarm(volt, fuses, status):
    return bytes([volt, len(fuses)]) + bytes(fuses) + bytes([len(status)]) + bytes(status)


def dc_image():
    body = struct.pack("<I", 21) + dc_analog(4, 9, 4) + dc_alarm(1, [0] * 63 + [3], [0x01] * 20)
    body += bytes(7)
    assert len(body) == 177
    return body


write("dc", {
    "analog_and_alarm_round": b"\x00" + op(0x00, dc_analog(2, 3, 1))
    + op(0x01 | ROUND | QUERY, dc_alarm(2, [3] + [0] * 63, [0xFF] * 20)),
    "extension_model_round": b"\x01" + op(0x00, dc_analog(4, 9, 4))
    + op(0x01 | ROUND, dc_alarm(0, [0] * 64, [0x55] * 20)),
    "restore_then_query": b"\x00" + op(0x02 | QUERY, dc_image()) + op(0x01 | ROUND, dc_alarm(1, [], [])),
    "user_count_over_limit": b"\x00" + op(0x00, dc_analog(0, 0, 5) + bytes(8)),
})


# ---------------------------------------------------------------- rectifier
def rc_analog(modules):
    return bytes([0x11]) + f32(53.5) + bytes([modules]) + (f32(12.0) + bytes([0])) * modules


def rc_switch(modules):
    return bytes([0, modules]) + bytes([0, 1, 0, 0]) * modules


def rc_alarm(modules):
    return bytes([0, modules]) + bytes([1, 3, 0, 1, 0]) * modules


AC_PARAM = f32(280.0, 160.0, 55.0, 45.0, 50.0) + bytes([0])
DC_PARAM = f32(57.0, 45.0) + bytes([5]) + f32(1.0, 2.0, 3.0, 4.0, 5.0)


def rc_image(modules):
    record = struct.pack("<I", 100) + AC_PARAM[:20] + DC_PARAM[:8] + bytes([5]) + DC_PARAM[9:]
    record += f32(53.5) + bytes([modules]) + bytes(7)
    assert len(record) == 65
    module = f32(12.0) + bytes([0, 0, 1, 0, 0, 1, 3, 0, 1, 0])
    assert len(module) == 14
    return record + module * modules


RC_ROUND, RC_QUERY = 0x40, 0x80
write("rc", {
    "full_round": op(0x00, rc_analog(3)) + op(0x01, rc_switch(3)) + op(0x02, rc_alarm(3))
    + op(0x03, AC_PARAM) + op(0x04 | RC_ROUND | RC_QUERY, DC_PARAM),
    "restore_then_round": op(0x05, rc_image(5)) + op(0x02 | RC_ROUND, rc_alarm(5)),
    "no_modules": op(0x00 | RC_ROUND, rc_analog(0)),
    "parameter_counts_off": op(0x03, AC_PARAM[:20] + bytes([2])) + op(0x04, DC_PARAM[:8] + bytes([4])),
})


# ---------------------------------------------------------------- port device
def rec(ctrl, info, extra=b""):
    """One reply record: control byte, [unit code or cut byte], length byte, info."""
    n = len(info)
    assert n < 512
    if n >= 256:
        ctrl |= 0x20
    return bytes([ctrl]) + bytes([n & 0xFF]) + extra + info


def port_round(n_ac, n_dc, flag, full):
    """The replies of one round in order; `full` asks every status query (not ready)."""
    out = [bytes([flag, n_ac]) + ac_analog(1) * n_ac] if n_ac else []
    if n_ac and full:
        out.append(bytes([0, n_ac]) + ac_switch([1, 0]) * n_ac)
        out.append(bytes([0, n_ac]) + ac_alarm(1) * n_ac)
    out.append(bytes([flag]) + rc_analog(3)[1:])
    if full:
        out += [rc_switch(3), rc_alarm(3)]
    if n_dc:
        out.append(bytes([flag, n_dc]) + dc_analog(2, 3, 1) * n_dc)
        if full:
            out.append(bytes([0, n_dc]) + dc_alarm(0, [0] * 64, [0] * 20) * n_dc)
    if n_ac:
        out.append(AC_PARAM)
    out.append(DC_PARAM)
    return out


MODEL = b"QPR-24KV".ljust(10, b"\0") + bytes([1, 0]) + b"QPR Power Systems".ljust(20, b"\0")


def port_seed(setup, ctrl, rounds):
    n_ac, n_dc = setup & 3, (setup >> 2) & 7
    data = bytes([setup]) + rec(ctrl, MODEL)
    for k in range(rounds):
        for info in port_round(n_ac, n_dc, 0x00, k == 0):
            data += rec(ctrl, info)
    return data


framed = port_seed(0x06, 0x04, 2)
timeouts = bytes([0x06]) + rec(0x03, b"") + rec(0x00, MODEL) + rec(0x03, b"")
for info in port_round(2, 1, 0x11, True):
    timeouts += rec(0x00, info)
wrong_unit = bytes([0x05]) + rec(0x00, MODEL) + rec(0x02, b"\x00\x01", b"\x42")
for info in port_round(1, 1, 0x00, True):
    wrong_unit += rec(0x00 | 0x80, info)
write("port", {
    "two_ac_one_dc_two_rounds": port_seed(0x06, 0x00, 2),
    "framed_two_rounds": framed,
    "rectifier_only": port_seed(0x00, 0x00, 2),
    "three_dc_units": port_seed(0x0D, 0x00, 1),
    "timeouts_and_flags": timeouts,
    "wrong_unit_then_restores": wrong_unit,
})
