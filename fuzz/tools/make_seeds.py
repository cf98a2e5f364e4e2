#!/usr/bin/env python3
"""Writes the hand-made seeds of fuzz/corpus/ (the captured TDS messages and
the emulator's own backup and catalogue are copied in as they were made):
RPC requests the drivers can send, statement texts, backups, journals,
catalogues and SSRP datagrams. Usage: make_seeds.py CORPUS_DIR"""
import os
import struct
import sys

OUT = sys.argv[1]


def put(target, name, data):
    os.makedirs(os.path.join(OUT, target), exist_ok=True)
    if isinstance(data, str):
        data = data.encode("cp1252")
    with open(os.path.join(OUT, target, name), "wb") as f:
        f.write(data)


def u16(s):
    return s.encode("utf-16-le")


# ---- RPC ------------------------------------------------------------------
ALL_HEADERS = struct.pack("<IIHQI", 22, 18, 2, 0, 1)  # transaction descriptor
COLLATION = b"\x09\x04\xd0\x00\x00"


def nvarchar(name, value, plp=False):
    head = bytes([len(name)]) + u16(name) + b"\x00\xe7"
    data = u16(value)
    if plp:
        chunks = struct.pack("<I", len(data)) + data + struct.pack("<I", 0)
        return head + b"\xff\xff" + COLLATION + struct.pack("<Q", len(data)) + chunks
    return head + struct.pack("<H", 8000) + COLLATION + struct.pack("<H", len(data)) + data


def intn(name, value, size=4, output=False):
    head = bytes([len(name)]) + u16(name) + (b"\x01" if output else b"\x00") + b"\x26"
    if value is None:
        return head + bytes([size, 0])
    return head + bytes([size, size]) + value.to_bytes(size, "little", signed=True)


def rpc(name_or_id, params, headers=True):
    body = ALL_HEADERS if headers else b""
    if isinstance(name_or_id, int):
        body += b"\xff\xff" + struct.pack("<H", name_or_id)
    else:
        body += struct.pack("<H", len(name_or_id)) + u16(name_or_id)
    return body + b"\x00\x00" + b"".join(params)


put("tds_rpc", "sp_executesql-named.bin",
    rpc("sp_executesql", [nvarchar("", "SELECT @p1"), nvarchar("", "@p1 int"), intn("@p1", 7)]))
put("tds_rpc", "sp_executesql-plp.bin",
    rpc(10, [nvarchar("", "RESTORE FILELISTONLY FROM DISK = 'C:\\Q.Bak'", plp=True)]))
put("tds_rpc", "sp_prepare-output-handle.bin",
    rpc("SP_PREPARE", [intn("@handle", None, output=True), nvarchar("", ""),
                       nvarchar("", "SELECT 1")]))
put("tds_rpc", "sp_execute-bigint.bin", rpc(12, [intn("", 1, size=8)]))
put("tds_rpc", "sp_unknown.bin", rpc("sp_who", []))
put("tds_rpc", "two-requests.bin",
    rpc(15, [intn("", 1)]) + b"\x80" + rpc(15, [intn("", 2)], headers=False))
put("tds_rpc", "bigvarchar-and-ntext.bin",
    rpc(10, [b"\x00\x00\xa7" + struct.pack("<H", 8000) + COLLATION + struct.pack("<H", 8) +
             b"SELECT 1",
             b"\x00\x00\x63" + struct.pack("<I", 0x7FFFFFFF) + COLLATION +
             struct.pack("<I", 4) + u16("@x")]))

# ---- statements -------------------------------------------------------------
STATEMENTS = {
    "restore-installer.sql":
        "RESTORE DATABASE [Quillorant] FROM DISK = N'C:\\Sorvendale\\Quillorant\\Quillorant.Bak'\n"
        " WITH MOVE 'Quillorant_Data' TO 'C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\Quillorant.mdf',\n"
        " MOVE 'Quillorant_Log' TO 'C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\Quillorant_log.ldf',\n"
        " REPLACE, STATS = 10, RECOVERY, NOUNLOAD, FILE = 1",
    "restore-filelistonly.sql": "RESTORE FILELISTONLY FROM DISK = 'C:\\Q.Bak'",
    "restore-verifyonly.sql": "restore verifyonly from disk='C:\\Q.Bak';",
    "backup.sql": "BACKUP DATABASE Quillorant TO DISK = 'C:\\Q.Bak' WITH INIT, FORMAT, STATS, NAME = 'full'",
    "create.sql":
        "CREATE DATABASE \"Seed\" ON PRIMARY (NAME = Seed, FILENAME = 'C:\\S.mdf', SIZE = 2MB),"
        " (NAME = S2, FILENAME = 'C:\\S2.ndf', SIZE = 64KB) LOG ON (NAME = L, FILENAME = 'C:\\S.ldf', SIZE = 1GB)",
    "create-plain.sql": "CREATE DATABASE [odd]]name]",
    "drop.sql": "DROP DATABASE IF EXISTS a, [b], \"c\"",
    "use-print-select.sql":
        "USE master; PRINT N'l''été'\nSELECT @@VERSION AS v, @@SPID, DB_NAME(), USER_NAME(), 1, 'x' AS t"
        "\nSELECT name FROM master.sys.databases",
    "set-waitfor.sql": "SET NOCOUNT ON SET ANSI_NULLS ON; WAITFOR DELAY '00:00:01'",
    "comments.sql": "/* a /* nested */ comment */ SELECT 1 -- to the end\n-- only a comment",
    "unclosed-quote.sql": "PRINT 'no end",
    "unclosed-comment.sql": "SELECT 1 /* /* */",
    "syntax-error.sql": "RESTORE DATABASE FROM",
}
for name, text in STATEMENTS.items():
    put("sql_batch", name, text)

# ---- backups ----------------------------------------------------------------


def crc32c(data, crc=0):
    crc ^= 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def text(s):
    b = s.encode("cp1252")
    return struct.pack("<H", len(b)) + b


def backup(db, files):
    header = text(db) + bytes(range(16)) + struct.pack("<QI", 1700000000, len(files))
    for kind, logical, path, content in files:
        header += bytes([kind]) + text(logical) + text(path) + struct.pack("<Q", len(content))
    out = b"QMSEBAK\x1a" + struct.pack("<II", 1, len(header)) + header
    out += struct.pack("<I", crc32c(header))
    for _, _, _, content in files:
        out += content + struct.pack("<I", crc32c(content))
    return out + b"QMSEEND\x1a"


small = backup("Tiny", [(0, "Tiny", "C:\\Data\\Tiny.mdf", b"data" * 8),
                        (1, "Tiny_log", "C:\\Data\\Tiny_log.ldf", b"log!" * 4)])
put("backup_file", "tiny.bak", small)
put("backup_file", "no-files.bak", backup("Empty", []))
put("backup_file", "empty-file.bak", backup("Z", [(0, "Z", "C:\\Z.mdf", b"")]))
put("backup_file", "truncated.bak", small[:-12])
put("backup_file", "damaged.bak", small[:80] + bytes([small[80] ^ 1]) + small[81:])
put("backup_file", "bytes-after-end.bak", small + b"\x00")

# ---- journals and catalogues ---------------------------------------------------
put("journal", "copy.txt",
    "mssql-emulator journal 1\nphase\tcopy\ntemp\t/ws/drives/c/Data/.Q.mdf.AbC123\n"
    "temp\t/ws/drives/c/Data/.Q_log.ldf.XyZ789\nend\n")
put("journal", "commit.txt",
    "mssql-emulator journal 1\nphase\tcommit\n"
    "rename\t/ws/drives/c/Data/.Q.mdf.AbC123\t/ws/drives/c/Data/Q.mdf\n"
    "rename\t/ws/drives/c/Data/.Q_log.ldf.XyZ789\t/ws/drives/c/Data/Q_log.ldf\n"
    "remove\t/ws/drives/c/Old/Q.mdf\n"
    "database\tQ\t00112233445566778899aabbccddeeff\n"
    "file\tdata\tQ_Data\tC:\\Data\\Q.mdf\t8192\n"
    "file\tlog\tQ_Log\tC:\\Data\\Q_log.ldf\t8192\nend\n")
put("journal", "escapes.txt",
    "mssql-emulator journal 1\nphase\tcommit\n"
    "rename\t/ws/a\\tb/.x\\\\y.1\t/ws/a\\tb/x\\ny\n"
    "database\tN\\\\ame\t0123456789abcdef0123456789ABCDEF\nend\n")
put("journal", "no-end.txt", "mssql-emulator journal 1\nphase\tcopy\ntemp\t/ws/.t.1\n")
put("journal", "relative-path.txt", "mssql-emulator journal 1\nphase\tcopy\ntemp\tdata/.t.1\nend\n")

put("catalogue", "two-databases.txt",
    "mssql-emulator catalogue 1\n"
    "database\tQuillorant\t00112233445566778899aabbccddeeff\n"
    "file\tdata\tQuillorant_Data\tC:\\\\Program Files\\\\Data\\\\Quillorant.mdf\t1048576\n"
    "file\tlog\tQuillorant_Log\tC:\\\\Program Files\\\\Data\\\\Quillorant_log.ldf\t1048576\n"
    "database\tEmpty\tffeeddccbbaa99887766554433221100\n")
put("catalogue", "escapes.txt",
    "mssql-emulator catalogue 1\ndatabase\ta\\tb\\nc\\rd\t0123456789abcdef0123456789abcdef\n"
    "file\tdata\tl\\\\x\tC:\\\\x\\ty.mdf\t0\n")
put("catalogue", "header-only.txt", "mssql-emulator catalogue 1\n")
put("catalogue", "file-without-database.txt",
    "mssql-emulator catalogue 1\nfile\tdata\tx\tC:\\\\x.mdf\t1\n")
put("catalogue", "bad-escape.txt", "mssql-emulator catalogue 1\ndatabase\tx\\q\t00\n")

# ---- SSRP ---------------------------------------------------------------------
for name, data in {"ucast-ex.bin": b"\x03", "bcast-ex.bin": b"\x02",
                   "ucast-inst.bin": b"\x04MSSQLSERVER\x00",
                   "ucast-inst-lower.bin": b"\x04mssqlserver\x00",
                   "ucast-inst-other.bin": b"\x04SQLEXPRESS\x00",
                   "dac.bin": b"\x0f\x01MSSQLSERVER\x00"}.items():
    put("ssrp_request", name, data)


def svr_resp(records):
    data = "".join(records).encode("cp1252")
    return b"\x05" + struct.pack("<H", len(data)) + data


put("ssrp_answer", "two-instances.bin", svr_resp([
    "ServerName;SRV1;InstanceName;MSSQLSERVER;IsClustered;No;Version;16.0.1000.6;tcp;1433;;",
    "ServerName;SRV1;InstanceName;SQLEXPRESS;IsClustered;No;Version;15.0.2000.5;tcp;49172;np;\\\\SRV1\\pipe\\MSSQL$SQLEXPRESS\\sql\\query;;"]))
put("ssrp_answer", "no-instance-name.bin", svr_resp(["ServerName;SRV;IsClustered;No;;"]))
put("ssrp_answer", "length-mismatch.bin", b"\x05\xff\x00ServerName;S;InstanceName;I;;")
