"""Velmora: converts folders of Maya scenes between .ma, .mb and .fbx.

Start it inside Maya with ``import velmora; velmora.show()``.
"""
from typing import IO, Any, Callable, Dict, List, Optional, Sequence, Tuple

import io as io
import os as os
import sys as sys
import time as time
from functools import partial as partial

from maya import cmds as cmds
from maya import mel as mel

PY2: bool

def safe_open(filepath: str, mode: str = "r", encoding: str = "utf-8") -> IO[str]:
    """Open file with encoding support for Python 2/3"""
    ...

def show() -> None:
    """Opens the velmora window (a fresh converter with a fresh log)."""
    ...

def batch(
    folder: str,
    sources: Sequence[str] = ("ma", "mb", "fbx"),
    outputs: Sequence[str] = ("ma",),
    preset: str = "Default",
    recursive: bool = True,
    skip_existing: bool = False,
    jobs: Optional[int] = None,
    timeout: Optional[float] = None,
    mayapy: Optional[str] = None,
    journal: Optional[str] = None,
    resume: bool = False,
    retry_failed: bool = False,
    progress: Optional[Callable[[Dict[str, Any]], Any]] = None,
    output_folder: Optional[str] = None,
    fbx_version: Optional[str] = None,
    fbx_ascii: bool = False,
    include: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    dry_run: bool = False,
    restart: bool = False,
    scene_scripts: str = "off",
    verify: bool = True,
) -> Dict[str, Any]:
    """Converts a folder headless with mayapy workers; returns the results."""
    ...

def start_batch(
    folder: str,
    sources: Sequence[str] = ("ma", "mb", "fbx"),
    outputs: Sequence[str] = ("ma",),
    preset: str = "Default",
    recursive: bool = True,
    skip_existing: bool = False,
    jobs: Optional[int] = None,
    timeout: Optional[float] = None,
    mayapy: Optional[str] = None,
    journal: Optional[str] = None,
    output_folder: Optional[str] = None,
    fbx_version: Optional[str] = None,
    fbx_ascii: bool = False,
    include: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    scene_scripts: str = "off",
    verify: bool = True,
) -> str:
    """Starts a batch in the background, detached from the caller; returns its id at once."""
    ...

def batches() -> List[Dict[str, Any]]:
    """Every background batch of this user, newest first, read from disk."""
    ...

def stop_batch(id: str) -> None:
    """Asks a background batch to stop as Ctrl-C stops a batch."""
    ...

def resume_batch(id: str, retry_failed: bool = False) -> None:
    """Continues a background batch from its journal, in the background."""
    ...

def forget_batch(id: str) -> None:
    """Removes an ended background batch from the list; its outputs stay."""
    ...

def batch_report(results: Dict[str, Any]) -> str:
    """The statistics report of batch()'s results."""
    ...

def show_batches() -> None:
    """Opens the window of background batches: a launcher and a row per batch."""
    ...

def batch_main(argv: Sequence[str]) -> int:
    """The velmora-batch command; returns its exit status."""
    ...

def doctor(
    mayapy: Optional[str] = None, folder: Optional[str] = None, timeout: float = 600.0
) -> List[Dict[str, Any]]:
    """Checks this Maya, its FBX plug-in and a share with velmora's own code in mayapy;
    returns the findings (check, ok, detail, seconds)."""
    ...

def inspect(path: str) -> Dict[str, Any]:
    """What a scene file holds, read without Maya and without running any of it: path, format,
    maya_version, units, requires, references, nodes, node_types, script_nodes (each with the
    concerns its text raises: what it does beyond Maya's configuration nodes), playback,
    file_info, external_files, other_statements (top-level commands Maya does not write) and
    problems. OSError when the file cannot be read; ValueError when it is no Maya or FBX scene."""
    ...

class Velmora:
    MAX_INCREMENT: int
    LOG_FILE: str

    window_name: str
    source_folder: str
    total_files: int
    processed_files: int
    successful_files: int
    # (source path or "BATCH PROCESS", reason)
    failed_files: List[Tuple[str, str]]
    skipped_files: List[str]
    start_time: Optional[float]
    viewport_disabled: bool

    # Names of the main window's controls; they exist once create_ui has run.
    folder_text: str
    recursive_check: str
    skip_existing_check: str
    src_ma: str
    src_mb: str
    src_fbx: str
    out_ma: str
    out_mb: str
    out_fbx: str
    fbx_preset: str
    status_text: str
    progress_bar: str
    convert_btn: str

    def __init__(self) -> None: ...
    def create_ui(self) -> None: ...
    def browse_folder(self, *args: Any) -> None: ...
    def log(self, msg: Any) -> None: ...
    def update_status(self, msg: str) -> None: ...
    def update_progress(self, val: int) -> None: ...
    def get_source_extensions(self) -> List[str]: ...
    def get_output_formats(self) -> List[str]: ...
    def collect_files(self) -> List[str]: ...
    def get_incremental_filename(self, filepath: str) -> str:
        """Get incremental filename with loop protection"""
        ...
    def disable_viewport(self) -> None:
        """Disable viewport with state tracking"""
        ...
    def enable_viewport(self) -> None:
        """Enable viewport (guaranteed)"""
        ...
    def setup_fbx_export(self) -> None: ...
    def convert_file(
        self, source_file: str, output_formats: Sequence[str], source_fps: Optional[str] = None
    ) -> List[Tuple[str, bool, str]]:
        """File conversion with detailed logging"""
        ...
    def start_conversion(self, *args: Any) -> None: ...
    def process_files(self, files: Sequence[str], output_formats: Sequence[str]) -> None:
        """Process files one by one"""
        ...
    def finalize_conversion(self) -> None:
        """Cleanup and statistics"""
        ...
    def show_about(self, *args: Any) -> None:
        """Show About dialog"""
        ...
    def show_help(self, *args: Any) -> None:
        """Show Help dialog"""
        ...
    def show_statistics(self) -> None: ...
    def save_stats(self, stats_text: str, *args: Any) -> None: ...
