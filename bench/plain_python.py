"""ORVEX Neutral reader in plain Python.

This is what a user would write without the compiled extension: read the
lines, cut them into blocks, split each record line into fields and convert
them.  It follows the same reading rules as ``ORVEXParser`` and has the same
method names, so it serves both as the speed baseline of the benchmarks and
as the reference the extension's results are compared with.
"""

from __future__ import annotations

import numpy as np

BLOCK_DELIMITER = "   -1"
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1

NO_MATCH = (None, None, -1, -1, -1)


def _check_int32(value: int) -> int:
    if value < INT32_MIN or value > INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


def _int32(text: str) -> int:
    """int() of a field, held as a signed 32-bit integer."""
    return _check_int32(int(text))


def _arg_int32(value) -> int:
    """Integer argument: ints as they are, others through __int__."""
    if not isinstance(value, int):
        if not hasattr(type(value), "__int__"):
            raise TypeError("an integer is required")
        value = int(value)
    return _check_int32(value)


def parse_csv_line(line: str) -> list[str]:
    """Split a record line into fields: at commas if it has any, else at whitespace."""
    text = line.rstrip(",").strip()
    if "," in text:
        return [piece for piece in map(str.strip, text.split(",")) if piece]
    return text.split()


def _parse_float(text: str) -> float:
    """float() of a field, ignoring anything from a "(" after its first character."""
    cut = text.find("(")
    if cut >= 1:
        text = text[:cut]
    return float(text)


def _title(line: str) -> str:
    text = line.strip().rstrip(",")
    return "" if text == "<NULL>" else text


def _is_end_marker(fields: list[str]) -> bool:
    return len(fields) >= 2 and fields[0] == "-1" and fields[1] == "0."


class Block:
    __slots__ = ("block_id", "lines")

    def __init__(self, block_id: int, lines: list[str]):
        self.block_id = block_id
        self.lines = lines

    def __repr__(self):
        return f"Block({self.block_id}, {len(self.lines)} lines)"


class PlainParser:
    BLOCK_DELIMITER = BLOCK_DELIMITER
    parse_csv_line = staticmethod(parse_csv_line)

    def __init__(self, filepath):
        self.filepath = filepath
        self.blocks: dict[int, list[Block]] = {}
        with open(filepath, "r") as fh:
            raw = fh.readlines()
        self._split(raw)

    # -- blocks ---------------------------------------------------------------

    def _split(self, raw: list[str]) -> None:
        n = len(raw)
        i = 0
        while i < n:
            if raw[i].rstrip("\n") != BLOCK_DELIMITER:
                i += 1
                continue
            if i + 1 >= n:
                break
            id_text = raw[i + 1].strip()
            if id_text == "-1":
                # A closing delimiter followed by an opening one: look at the
                # next line again as a possible opening delimiter.
                i += 1
                continue
            try:
                number = int(id_text)
            except ValueError:
                i += 1
                continue
            block_id = _check_int32(number)
            data = []
            k = i + 2
            while k < n:
                line = raw[k].rstrip("\n")
                if line == BLOCK_DELIMITER:
                    break
                data.append(line)
                k += 1
            i = k + 1 if k < n else n
            self.blocks.setdefault(block_id, []).append(Block(block_id, data))

    def parse(self):
        return self.blocks

    def get_blocks(self, block_id):
        return self.blocks.get(_arg_int32(block_id), [])

    # -- model ----------------------------------------------------------------

    def get_header(self):
        blocks = self.get_blocks(100)
        if not blocks:
            return None
        lines = blocks[0].lines
        if len(lines) < 2:
            return None
        title = lines[0].strip()
        version = lines[1].strip()
        return {"title": "" if title == "<NULL>" else title, "version": version}

    def _node_records(self):
        """Yield (id, x, y, z) for every 403 line that reads as a node."""
        for block in self.get_blocks(403):
            for line in block.lines:
                fields = parse_csv_line(line)
                if len(fields) < 14:
                    continue
                try:
                    node_id = _int32(fields[0])
                    x = float(fields[11])
                    y = float(fields[12])
                    z = float(fields[13])
                except (ValueError, IndexError):
                    continue
                yield node_id, x, y, z

    def get_nodes(self, force_2d=False):
        nodes = {}
        for node_id, x, y, z in self._node_records():
            if force_2d and z > 0.0:
                continue
            nodes[node_id] = (x, y, z)
        return nodes

    def get_nodes_arrays(self):
        ids, rows = [], []
        for node_id, x, y, z in self._node_records():
            ids.append(node_id)
            rows.append((x, y, z))
        node_ids = np.array(ids, dtype=np.int32)
        coords = np.array(rows, dtype=np.float64)
        if not rows:
            coords = coords.reshape(0, 3)
        return node_ids, coords

    def get_properties(self):
        props = {}
        for block in self.get_blocks(402):
            lines = block.lines
            n = len(lines)
            i = 0
            while i < n:
                fields = parse_csv_line(lines[i])
                if len(fields) < 3:
                    i += 1
                    continue
                try:
                    prop_id = _int32(fields[0])
                    material_id = _int32(fields[2])
                    title = _title(lines[i + 1]) if i + 1 < n else ""
                    props[prop_id] = {"material_id": material_id, "title": title}
                    i += 7
                except (ValueError, IndexError):
                    i += 1
        return props

    def get_materials(self):
        materials = {}
        for block in self.get_blocks(601):
            for line in block.lines:
                fields = parse_csv_line(line)
                if not fields:
                    continue
                try:
                    material_id = _int32(fields[0])
                    materials[material_id] = {"id": material_id}
                except (ValueError, IndexError):
                    pass
        return materials

    def _element_records(self):
        """Yield (id, prop_id, topology, nodes) for every 404 record, 7 lines each."""
        for block in self.get_blocks(404):
            lines = block.lines
            n = len(lines)
            i = 0
            while i < n:
                fields = parse_csv_line(lines[i])
                if len(fields) < 5:
                    i += 1
                    continue
                try:
                    elem_id = _int32(fields[0])
                    prop_id = _int32(fields[2])
                    topology = _int32(fields[4])
                    nodes = []
                    for k in (i + 1, i + 2):
                        if k < n:
                            for text in parse_csv_line(lines[k]):
                                node = _int32(text)
                                if node != 0:
                                    nodes.append(node)
                except (ValueError, IndexError):
                    i += 1
                    continue
                yield elem_id, prop_id, topology, nodes
                i += 7

    def get_elements(self):
        return [
            {"id": elem_id, "prop_id": prop_id, "topology": topology, "nodes": nodes}
            for elem_id, prop_id, topology, nodes in self._element_records()
        ]

    def get_elements_arrays(self):
        ids, props, topos, conn, offsets = [], [], [], [], [0]
        for elem_id, prop_id, topology, nodes in self._element_records():
            ids.append(elem_id)
            props.append(prop_id)
            topos.append(topology)
            conn.extend(nodes)
            offsets.append(len(conn))
        return (
            np.array(ids, dtype=np.int32),
            np.array(props, dtype=np.int32),
            np.array(topos, dtype=np.int32),
            np.array(conn, dtype=np.int32),
            np.array(offsets, dtype=np.int32),
        )

    # -- results --------------------------------------------------------------

    def get_output_sets(self):
        sets = {}
        for block in self.get_blocks(450):
            lines = block.lines
            n = len(lines)
            i = 0
            while i < n:
                fields = parse_csv_line(lines[i])
                if not fields:
                    i += 1
                    continue
                try:
                    set_id = _int32(fields[0])
                    title = _title(lines[i + 1]) if i + 1 < n else ""
                    value = 0.0
                    if i + 3 < n:
                        value_fields = parse_csv_line(lines[i + 3])
                        if value_fields:
                            value = _parse_float(value_fields[0])
                    sets[set_id] = {"title": title, "value": value}
                    i += 6
                except (ValueError, IndexError):
                    i += 1
        return sets

    def _get_output_vector_blocks(self):
        return list(self.get_blocks(1051)) + list(self.get_blocks(451))

    @staticmethod
    def _locate_output_vector_header(lines, start):
        """Find the entity-type line pair after a vector start line.

        Returns (entity type, found, index of the first data line).  The
        search runs to the end of the block, past the vector's own end.
        """
        k = start + 3
        while k + 1 < len(lines):
            first = parse_csv_line(lines[k])
            second = parse_csv_line(lines[k + 1])
            if len(first) == 4 and len(second) == 3:
                try:
                    int(first[0])
                    int(first[1])
                    int(first[2])
                    ent_type = _int32(first[3])
                    int(second[0])
                    int(second[1])
                    int(second[2])
                    return ent_type, True, k + 2
                except ValueError:
                    pass
            k += 1
        return -1, False, len(lines)

    @staticmethod
    def _read_data_records(lines, i, n, store):
        """Read data records from line i up to the end marker; return the next index.

        ``store(entity_id, value)`` is called for every value, in file order.
        Errors propagate with the index of the failing line in ``exc.line_index``.
        """
        try:
            while i < n:
                fields = parse_csv_line(lines[i])
                if _is_end_marker(fields):
                    return i + 1
                if len(fields) == 2:
                    entity_id = _int32(fields[0])
                    value = _parse_float(fields[1])
                    store(entity_id, value)
                    i += 1
                elif len(fields) >= 3:
                    first = _int32(fields[0])
                    last = _int32(fields[1])
                    values = [_parse_float(text) for text in fields[2:]]
                    count = last - first + 1
                    i += 1
                    while len(values) < count and i < n:
                        more = parse_csv_line(lines[i])
                        if _is_end_marker(more):
                            break
                        values.extend(_parse_float(text) for text in more)
                        i += 1
                    for j in range(min(count, len(values))):
                        store(first + j, values[j])
                else:
                    i += 1
            return i
        except (ValueError, IndexError) as exc:
            exc.line_index = i
            raise

    def get_output_vectors(self):
        vectors = []
        for block in self._get_output_vector_blocks():
            lines = block.lines
            n = len(lines)
            i = 0
            while i < n:
                fields = parse_csv_line(lines[i])
                if len(fields) < 2:
                    i += 1
                    continue
                try:
                    set_id = _int32(fields[0])
                    vec_id = _int32(fields[1])
                    title = _title(lines[i + 1]) if i + 1 < n else ""
                    ent_type, found, i = self._locate_output_vector_header(lines, i)
                    results = {}
                    i = self._read_data_records(lines, i, n, results.__setitem__)
                except (ValueError, IndexError) as exc:
                    # Resume after the line that was being read.
                    i = getattr(exc, "line_index", i) + 1
                    continue
                vectors.append({
                    "set_id": set_id,
                    "vec_id": vec_id,
                    "title": title,
                    "ent_type": ent_type if found else None,
                    "results": results,
                })
        return vectors

    def get_output_vectors_arrays(self, set_id_filter=-1, vec_id_filter=-1):
        set_id_filter = _arg_int32(set_id_filter)
        vec_id_filter = _arg_int32(vec_id_filter)
        for block in self._get_output_vector_blocks():
            lines = block.lines
            n = len(lines)
            i = 0
            while i < n:
                fields = parse_csv_line(lines[i])
                if len(fields) < 2:
                    i += 1
                    continue
                try:
                    set_id = _int32(fields[0])
                    vec_id = _int32(fields[1])
                    ent_type, found, i = self._locate_output_vector_header(lines, i)
                    if (set_id_filter >= 0 and set_id != set_id_filter) or (
                        vec_id_filter >= 0 and vec_id != vec_id_filter
                    ):
                        # Not wanted: skip to after its end marker without converting.
                        while i < n:
                            skipped = parse_csv_line(lines[i])
                            i += 1
                            if _is_end_marker(skipped):
                                break
                        continue
                    ids, values = [], []

                    def store(entity_id, value):
                        ids.append(entity_id)
                        values.append(value)

                    i = self._read_data_records(lines, i, n, store)
                    return (
                        np.array(ids, dtype=np.int32),
                        np.array(values, dtype=np.float64),
                        set_id,
                        vec_id,
                        ent_type if found else -1,
                    )
                except (ValueError, IndexError) as exc:
                    i = getattr(exc, "line_index", i) + 1
        return NO_MATCH
