"""The movra command and its file sources without silent wrong answers:
misspelled options, --every without a checkpoint, ISO times, quoted CSV
values and --schema, a send nobody receives, and the README's Flink
snippet."""
import json
import pathlib
import re
import socket

import pytest

from movra._cli import main
from movra._sources import LineSource

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.parametrize("argv, text", [
    (["listen", "udp://127.0.0.1:0", "--windw", "1s"], "--windw: did you mean --window?"),
    (["send", "-", "udp://127.0.0.1:9000", "--rtae", "max"], "--rtae: did you mean --rate?"),
    (["listen", "-", "--every", "5s"], "argument --every: only with --checkpoint"),  # "-": a run would end at once
    (["listen", "udp://127.0.0.1:0", "--schema", "zip=str"], "argument --schema: only for CSV input"),
    (["listen", "-", "--window", "1s", "--mean", "v", "--by", "carrier,origin"],
     "by='carrier,origin' names 2 columns, but windows are grouped by one column"),
    (["listen", "-", "--input-format", "csv", "--schema", "zip=text"], "'zip=text': the type 'text' is not one of"),
])
def test_mistakes_on_the_command_line_are_named_with_a_hint(argv, text, capsys):
    with pytest.raises(SystemExit) as exit_:
        main(argv)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and text in err, err


FEED = 'zip,v,timestamp\n"02134",1.0,1000\n2134,3.0,1500\n"02134",5.0,2500\n'


@pytest.mark.parametrize("options, expected", [
    (["--format", "csv"], ["window_start,window_end,zip,avg_v,count", "1000,2000,02134,1.0,1",
                           "1000,2000,2134,3.0,1", "2000,3000,02134,5.0,1"]),
    (["--format", "csv", "--datetimes", "--select", "window_start,window_end,count"],
     ["window_start,window_end,count", "1970-01-01T00:00:01+00:00,1970-01-01T00:00:02+00:00,1",
      "1970-01-01T00:00:01+00:00,1970-01-01T00:00:02+00:00,1", "1970-01-01T00:00:02+00:00,1970-01-01T00:00:03+00:00,1"]),
    (["--format", "jsonl", "--datetimes", "--filter", "v>4"],
     ['{"window_start":"1970-01-01T00:00:02+00:00","window_end":"1970-01-01T00:00:03+00:00","zip":"02134",'
      '"avg_v":5.0,"count":1}']),
    (["--format", "csv", "--schema", "zip=str", "--select", "zip,count"], ["zip,count", "02134,1", "2134,1",
                                                                          "02134,1"]),
])
def test_listen_keeps_quoted_csv_values_as_text_and_writes_iso_times(tmp_path, capsys, options, expected):
    (tmp_path / "feed.csv").write_text(FEED)
    assert main(["listen", str(tmp_path / "feed.csv"), "--window", "1s", "--by", "zip", "--mean", "v",
                 *options, "-q"]) == 0
    assert capsys.readouterr().out.splitlines() == expected


def test_a_time_field_of_iso_text_is_logged_and_read_with_a_datetime_schema(tmp_path, capsys):
    (tmp_path / "feed.csv").write_text("when,v\n2013-01-01T10:00:00,1.0\n2013-01-01T11:00:00,3.0\n")
    argv = ["listen", str(tmp_path / "feed.csv"), "--window", "1s", "--mean", "v", "--time-field", "when",
            "--format", "csv", "--select", "window_start,count", "--no-status"]
    assert main(argv) == 0
    assert "events without a usable time field 'when': 2 in the first chunk" in capsys.readouterr().err
    assert main([*argv, "--schema", "when=datetime", "-q"]) == 0
    assert capsys.readouterr().out.splitlines() == ["window_start,count", "1357034400000,1", "1357038000000,1"]


def test_listen_names_a_misspelled_plan_column(tmp_path, capsys):
    (tmp_path / "feed.csv").write_text(FEED)
    assert main(["listen", str(tmp_path / "feed.csv"), "--window", "1s", "--mean", "value", "--no-status"]) == 0
    assert "mean 'value' is not a column of the events: the columns are 'timestamp', 'v', 'zip'" in capsys.readouterr().err


def test_the_table_shows_iso_windows(tmp_path, capsys):
    pytest.importorskip("rich")
    (tmp_path / "feed.csv").write_text(FEED)
    assert main(["listen", str(tmp_path / "feed.csv"), "--window", "1s", "--mean", "v", "--format", "table",
                 "--datetimes", "-q"]) == 0
    assert "1970-01-01T00:00:01+00:00 - 1970-01-01T00:00:02+00:00" in capsys.readouterr().out


@pytest.mark.parametrize("line, schema, row", [
    ('"02134",x,"a,b",""', None, {"a": "02134", "b": "x", "c": "a,b", "d": ""}),
    ('02134,"say ""hi""",7,', None, {"a": 2134, "b": 'say "hi"', "c": 7, "d": None}),
    ('007,2.5,true,2013-01-01T01:00:00', "a=str,b=float,c=bool,d=datetime",
     {"a": "007", "b": 2.5, "c": True, "d": 1_357_002_000_000}),
    ('"7",1,0,', "a=int,b=float,c=bool,d=datetime", {"a": 7, "b": 1.0, "c": False, "d": None}),
])
def test_csv_fields_keep_their_quoting_and_take_the_schemas_types(tmp_path, line, schema, row):
    from movra._schema import parse_schema

    (tmp_path / "f.csv").write_text(f"a,b,c,d\n{line}\nx,notanumber,1,\n")
    source = LineSource(str(tmp_path / "f.csv"), "csv", schema=parse_schema(schema) if schema else None)
    chunk = source.read(10)
    source.close()
    assert chunk.rows[0] == row
    assert chunk.skipped == (1 if schema else 0)  # "notanumber" is not a float


@pytest.mark.parametrize("record, lines", [
    ('"two\nlines",1', 2),
    ('"three\n""quoted"" ,\n lines",1', 3),
    ('x,"a ""b""\n\nc"', 3),  # a blank line inside the quotes too
])
def test_a_csv_record_with_a_line_feed_inside_quotes_is_skipped_whole(tmp_path, record, lines):
    (tmp_path / "f.csv").write_text(f"k,v\nfirst,0\n{record}\r\nlast,9\n")
    source = LineSource(str(tmp_path / "f.csv"), "csv")
    chunk = source.read(10)
    source.close()
    assert chunk.rows == [{"k": "first", "v": 0}, {"k": "last", "v": 9}]
    assert chunk.skipped == lines

def test_a_byte_order_mark_does_not_stick_to_the_first_csv_column(tmp_path):
    (tmp_path / "f.csv").write_bytes(b"\xef\xbb\xbfzip,v\r\n02134,1\r\n")
    source = LineSource(str(tmp_path / "f.csv"), "csv", schema={"zip": "str"})
    chunk = source.read(10)
    source.close()
    assert chunk.rows == [{"zip": "02134", "v": 1}]

def test_a_schema_naming_a_column_the_header_lacks_is_refused(tmp_path):
    (tmp_path / "f.csv").write_text("zip,v\n1,2\n")
    with pytest.raises(ValueError, match="the schema names 'zp', which the CSV header"):
        LineSource(str(tmp_path / "f.csv"), "csv", schema={"zp": "str"})


def test_send_to_a_port_nobody_listens_on_says_so(tmp_path, capsys):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # free once closed: nobody listens there
    (tmp_path / "f.jsonl").write_text('{"a": 1}\n' * 50)
    main(["send", str(tmp_path / "f.jsonl"), f"udp://127.0.0.1:{port}", "--rate", "max", "--json",
          "--no-progress"])
    captured = capsys.readouterr()
    assert json.loads(captured.out)["refused"] > 0
    assert f"nobody listens on udp://127.0.0.1:{port}" in captured.err


def test_the_readmes_flink_snippet_runs_as_printed(capsys):
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## When one machine is not enough"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(code, "README.md", "exec"), {})
    assert "INSERT INTO" in capsys.readouterr().out


def test_send_to_an_address_the_socket_cannot_reach_names_it(tmp_path, capsys):
    (tmp_path / "f.jsonl").write_text('{"a": 1}\n')
    assert main(["send", str(tmp_path / "f.jsonl"), "udp://255.255.255.255:9", "--no-progress"]) != 0
    assert "cannot send to udp://255.255.255.255:9: Permission denied" in capsys.readouterr().err
