#!/usr/bin/env python3
"""Makes a larger benchmark input of the same layout from a Jet 4 file that
another program wrote, without passing it through our own writer.

    scale_foreign.py SOURCE TARGET --mb 1024

The rows of the source must keep the layout its writer chose (how full its
data pages are, how rows and long-value pages interleave, inline or separate
memo and OLE values), so the copy works on pages: every data page and
long-value page of a user table, in file order, is appended again as many
times as needed. In each copy the page pointers (long values, chains of
long-value rows, overflow rows) move with their pages, and every Long
Integer column gets new values in each copy (shifted by its range, or
distinct negative ones where its range is full) so that unique keys built
on them stay unique. Each user table's usage map becomes a reference map
(bitmap pages appended at the end) naming all its pages, and its row count
is multiplied.

The source's index B-trees are left as they were: they still name the
original rows only. Readers that export tables (mdb-export, our repair)
do not walk them; nothing here should be used to test index reading.
"""
import argparse
import struct
import sys

P = 4096
MAP_PAGE_BITS = (P - 4) * 8


def u16(b, o):
    return struct.unpack_from('<H', b, o)[0]


def u32(b, o):
    return struct.unpack_from('<I', b, o)[0]


def row_bounds(page):
    """(slot, start, end, flags) of every row slot of a data page."""
    n = u16(page, 12)
    out = []
    prev_start = P
    for k in range(n):
        raw = u16(page, 14 + 2 * k)
        start = raw & 0x1FFF
        out.append((k, start, prev_start, raw & 0xC000))
        if not raw & 0x8000 or start:
            prev_start = start
    return out


class Table:
    def __init__(self, tdef_no, page):
        self.tdef = tdef_no
        self.rows = u32(page, 0x10)
        ncols = u16(page, 0x2D)
        nreal = u32(page, 0x33)
        self.umap = u32(page, 0x37)
        off = 0x3F + 12 * nreal
        self.cols = []
        for c in range(ncols):
            b = page[off + 25 * c: off + 25 * c + 25]
            self.cols.append({'type': b[0], 'num': u16(b, 5), 'var': u16(b, 7),
                              'fixed': b[15] & 0x01, 'foff': u16(b, 21)})
        self.ncols_total = ncols


def fields(table, row):
    """Yields (column, start, end) of the present fields of a Jet 4 row."""
    ncols = u16(row, 0)
    mask_len = (ncols + 7) // 8
    mask_pos = len(row) - mask_len
    var_len = u16(row, mask_pos - 2)
    offs = [u16(row, mask_pos - 4 - 2 * i) for i in range(var_len + 1)]
    for c in table.cols:
        if c['num'] >= ncols or not (row[mask_pos + c['num'] // 8] >> (c['num'] % 8)) & 1:
            continue
        if c['fixed']:
            yield c, 2 + c['foff'], None
        elif c['var'] < var_len:
            yield c, offs[c['var']], offs[c['var'] + 1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('source')
    ap.add_argument('target')
    ap.add_argument('--mb', type=float, required=True, help='about this many megabytes')
    a = ap.parse_args()

    src = bytearray(open(a.source, 'rb').read())
    n = len(src) // P
    page = lambda i: src[i * P:(i + 1) * P]

    tables = {}
    for i in range(n):
        p = page(i)
        if p[0] == 0x02 and p[0x28] == 0x4E:  # a user table's definition
            tables[i] = Table(i, p)

    # The pages that carry rows: user data pages and long-value pages.
    carried = []
    for i in range(n):
        p = page(i)
        if p[0] != 0x01:
            continue
        if p[4:8] == b'LVAL' or u32(p, 4) in tables:
            carried.append(i)
    if not carried:
        sys.exit('scale_foreign: no user rows in ' + a.source)
    rank = {p: k for k, p in enumerate(carried)}
    carried_bytes = len(carried) * P
    copies = max(0, round((a.mb * 1048576 - len(src)) / carried_bytes))

    # Long-value rows that start with a pointer to the next one of a chain,
    # and the stride of the Long Integer columns.
    chain_rows = set()
    lo, hi = {}, {}
    for i in carried:
        p = page(i)
        t = tables.get(u32(p, 4))
        if not t:
            continue
        for _, s, e, flags in row_bounds(p):
            if flags:
                continue
            row = p[s:e]
            for c, fs, fe in fields(t, row):
                if c['type'] == 4:
                    v = struct.unpack_from('<i', row, fs)[0]
                    key = (t.tdef, c['num'])
                    lo[key], hi[key] = min(lo.get(key, v), v), max(hi.get(key, v), v)
                elif c['type'] in (11, 12) and fe - fs >= 12 and row[fs + 3] == 0x00:
                    ptr = u32(row, fs + 4)
                    while ptr:
                        lp, lr = ptr >> 8, ptr & 0xFF
                        chain_rows.add((lp, lr))
                        q = page(lp)
                        ls = u16(q, 14 + 2 * lr) & 0x1FFF
                        ptr = u32(q, ls)
    # A column whose values leave room is shifted by its range per copy; one
    # spread over the whole positive range (random keys) gets, in the copies,
    # distinct negative values in a scrambled order.
    shift = {}
    for key in lo:
        stride = hi[key] - lo[key] + 1
        if hi[key] + copies * stride < 2 ** 31:
            shift[key] = stride
        elif lo[key] < 0:
            sys.exit('scale_foreign: no room for the copies of a Long Integer column')
    counter = [0]

    def long_value(key, v, k):
        if key in shift:
            return v + (k + 1) * shift[key]
        counter[0] += 1
        return -1 - (counter[0] * 0x5BD1E995) % 2 ** 31

    def moved(ptr, k):
        p = ptr >> 8
        if p not in rank:
            return ptr
        return ((n + k * len(carried) + rank[p]) << 8) | (ptr & 0xFF)

    def copy_of(i, k):
        p = bytearray(page(i))
        t = tables.get(u32(p, 4)) if p[4:8] != b'LVAL' else None
        for slot, s, e, flags in row_bounds(p):
            if flags & 0x8000:
                continue
            if flags & 0x4000:  # an overflow pointer
                struct.pack_into('<I', p, s, moved(u32(p, s), k))
                continue
            if t is None:
                if (i, slot) in chain_rows and u32(p, s):
                    struct.pack_into('<I', p, s, moved(u32(p, s), k))
                continue
            row = p[s:e]
            for c, fs, fe in fields(t, row):
                if c['type'] == 4:
                    v = struct.unpack_from('<i', p, s + fs)[0]
                    struct.pack_into('<i', p, s + fs, long_value((t.tdef, c['num']), v, k))
                elif c['type'] in (11, 12) and fe - fs >= 12 and row[fs + 3] in (0x00, 0x40):
                    struct.pack_into('<I', p, s + fs + 4, moved(u32(row, fs + 4), k))
        return p

    # Usage maps: a reference map per table naming all of its pages, on
    # bitmap pages after the copies.
    first_bitmap = n + copies * len(carried)
    bitmaps = []
    for t in tables.values():
        own = [i for i in carried if page(i)[4:8] != b'LVAL' and u32(page(i), 4) == t.tdef]
        owned = own + [n + k * len(carried) + rank[i] for k in range(copies) for i in own]
        mp, mr = t.umap >> 8, t.umap & 0xFF
        base = mp * P
        s = u16(src, base + 14 + 2 * mr) & 0x1FFF
        e = P if mr == 0 else u16(src, base + 14 + 2 * (mr - 1)) & 0x1FFF
        slots = (e - s - 1) // 4
        need = (max(owned) // MAP_PAGE_BITS + 1) if owned else 0
        if need > slots:
            sys.exit('scale_foreign: the usage map of table page %d has no room for %d pages' % (t.tdef, need))
        row = bytearray(e - s)
        row[0] = 0x01
        for m in range(need):
            bp = bytearray(P)
            bp[0], bp[1] = 0x05, 0x01
            for i in owned:
                if i // MAP_PAGE_BITS == m:
                    bit = i % MAP_PAGE_BITS
                    bp[4 + bit // 8] |= 1 << (bit % 8)
            struct.pack_into('<I', row, 1 + 4 * m, first_bitmap + len(bitmaps))
            bitmaps.append(bp)
        src[base + s:base + e] = row
        struct.pack_into('<I', src, t.tdef * P + 0x10, t.rows * (copies + 1))

    with open(a.target, 'wb') as f:
        f.write(src)
        for k in range(copies):
            for i in carried:
                f.write(copy_of(i, k))
        for bp in bitmaps:
            f.write(bp)
        size = f.tell()
    print('%s: %d bytes, %d copies of %d row pages' % (a.target, size, copies, len(carried)))


if __name__ == '__main__':
    main()
