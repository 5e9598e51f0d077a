"""Stream, read, edit and write SD files block by block, exactly and fast.

Blocks keep the bytes they were read from, so an unedited block writes back
byte for byte. See `SDBlock`, `parse_sdf`, `write_sdf` and `CTable`;
`parse_sdf_range` reads the blocks that start in a byte range of a file;
`index_sdf` reads any block, by ordinal or by key, without a scan;
`sort_sdf` orders blocks across many files in bounded memory; `grid` lays
out the blocks' depictions (`SDBlock.depict`) with their records. Wherever
a record name keys blocks, `TITLE` keys them by their title instead.
Wherever a path is read or written, a URL (s3://, https://, ... through
fsspec, the `remote` extra) is too, with `storage_options=`.
"""

from molbrook._grid import Grid, grid
from molbrook._index import index_sdf
from molbrook._lint import Finding, FixSummary, lint, lint_fix
from molbrook._merge import MergeSummary, merge_records
from molbrook._read import parse_sdf, parse_sdf_range
from molbrook._sort import MissingRecordWarning, SortKey, SortSummary, sort_sdf
from molbrook._table import RecordTable, TableScan, read_table, scan_table
from molbrook._types import TITLE
from molbrook._write_table import write_table
from molbrook.ctable import (
    CTableError,
    IndicesDuplicateError,
    IndicesMismatchError,
    IndicesOutOfOrderError,
    MalformedCTableError,
)
from molbrook.native import (
    CTable,
    MalformedRecordError,
    SDBlock,
    SDIndex,
    __version__,
    sdf_writer,
    write_sdf,
)

__all__ = [
    "TITLE",
    "CTable",
    "CTableError",
    "Finding",
    "FixSummary",
    "Grid",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
    "MalformedCTableError",
    "MalformedRecordError",
    "MergeSummary",
    "MissingRecordWarning",
    "RecordTable",
    "SDBlock",
    "SDIndex",
    "SortKey",
    "SortSummary",
    "TableScan",
    "__version__",
    "grid",
    "index_sdf",
    "lint",
    "lint_fix",
    "merge_records",
    "parse_sdf",
    "parse_sdf_range",
    "read_table",
    "scan_table",
    "sdf_writer",
    "sort_sdf",
    "write_sdf",
    "write_table",
]
