"""The IFF container of Maya Binary files: building and walking chunks.

Big-endian throughout. A chunk is a 4-byte tag, then (64-bit variant,
FOR8) 4 bytes of padding and an 8-byte size, or (32-bit variant, FOR4) a
4-byte size; then `size` bytes of data and zero bytes up to the variant's
alignment (8 or 4). A group (FOR8/LIS8/CAT8, FOR4/LIS4/CAT4) holds a
4-byte type and its children in its data; its size counts both, and
nothing pads a group, its children being aligned already.
"""
import struct

GROUP_TAGS = {8: (b"FOR8", b"LIS8", b"CAT8"), 4: (b"FOR4", b"LIS4", b"CAT4")}

# Nesting deeper than this is no Maya file; the walker stops there rather
# than following a hostile file down.
MAX_DEPTH = 64


class IffError(Exception):
    """The bytes are not a well-formed IFF file (message says where)."""


def chunk(tag, data):
    """A FOR8-variant data chunk, padded to 8."""
    data = bytes(data)
    return tag + b"\0\0\0\0" + struct.pack(">Q", len(data)) + data + b"\0" * (-len(data) % 8)


def group(kind, gtype, children):
    body = gtype + b"".join(children)
    return kind + b"\0\0\0\0" + struct.pack(">Q", len(body)) + body


class Node(object):
    """One chunk as walked: tag, offset of its header, and either its data
    (a data chunk) or its group type and children (a group)."""
    __slots__ = ("tag", "offset", "data", "gtype", "children")

    def __init__(self, tag, offset, data=None, gtype=None, children=None):
        self.tag, self.offset, self.data = tag, offset, data
        self.gtype, self.children = gtype, children

    @property
    def is_group(self):
        return self.children is not None


def variant(raw):
    """8 for a FOR8 file, 4 for FOR4, None for anything else."""
    head = raw[:4]
    return 8 if head == b"FOR8" else 4 if head == b"FOR4" else None


def _header(raw, off, width, end):
    hsize = 16 if width == 8 else 8
    if off + hsize > end:
        raise IffError("truncated chunk header at byte %d" % off)
    tag = raw[off:off + 4]
    if width == 8:
        size = struct.unpack(">Q", raw[off + 8:off + 16])[0]
    else:
        size = struct.unpack(">I", raw[off + 4:off + 8])[0]
    if size > end - off - hsize:
        raise IffError("chunk %r at byte %d claims %d bytes past the end of its group"
                       % (tag.decode("latin-1"), off, size - (end - off - hsize)))
    return tag, hsize, size


def walk(raw):
    """The file's top group as a tree of Node (iterative, depth-limited)."""
    width = variant(raw)
    if width is None:
        raise IffError("no FOR8/FOR4 group at the start")
    groups = GROUP_TAGS[width]
    root = None
    # Each entry: (parent node, next offset, end offset, depth).
    stack = []
    tag, hsize, size = _header(raw, 0, width, len(raw))
    if size < 4:
        raise IffError("top group too small")
    root = Node(tag, 0, gtype=raw[hsize:hsize + 4], children=[])
    stack.append([root, hsize + 4, hsize + size, 1])
    while stack:
        top = stack[-1]
        parent, off, end, depth = top
        if off >= end:
            stack.pop()
            continue
        tag, hsize, size = _header(raw, off, width, end)
        if tag in groups:
            if size < 4:
                raise IffError("group at byte %d has no type" % off)
            if depth >= MAX_DEPTH:
                raise IffError("groups nested deeper than %d at byte %d" % (MAX_DEPTH, off))
            node = Node(tag, off, gtype=raw[off + hsize:off + hsize + 4], children=[])
            parent.children.append(node)
            top[1] = off + hsize + size
            stack.append([node, off + hsize + 4, off + hsize + size, depth + 1])
        else:
            node = Node(tag, off, data=raw[off + hsize:off + hsize + size])
            parent.children.append(node)
            top[1] = min(end, off + hsize + size + (-size % width))
    return root
