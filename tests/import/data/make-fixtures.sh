#!/usr/bin/env bash
# Regenerates the dBase fixtures of the import tests with two independent
# writers from Debian: GDAL's ogr2ogr/ogrinfo (gdal-bin) and python3-dbf.
# Run from anywhere; the files land next to this script. The tests check the
# values written here, so keep the two in step.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- ogr2ogr: character, numeric and date fields in code page 437; the second
# record is then deleted without repacking, so it keeps its "*" flag.
cat > "$work/people.csv" <<'CSV'
name,email,company,score,joined
Anna Berg,anna@example.com,Acme,12,2024-03-05
Bob Stone,bob@example.org,Globex,7.5,2023-11-30
Jürgen Müller,juergen@example.net,Initech,3,2020-01-01
CSV
rm -f ogr_people.dbf
ogr2ogr -f "ESRI Shapefile" -oo AUTODETECT_TYPE=YES -lco ENCODING=CP437 \
  "$work/ogr_people.dbf" "$work/people.csv"
ogrinfo "$work/ogr_people.dbf" -oo AUTO_REPACK=NO -dialect SQLite \
  -sql "DELETE FROM ogr_people WHERE email = 'bob@example.org'" > /dev/null
cp "$work/ogr_people.dbf" ogr_people.dbf

# --- python3-dbf: a dBase III table with C, D, N, L fields in code page 437,
# lower-case field names, and one deleted record.
/usr/bin/python3 - "$work/pydbf_people.dbf" <<'PY'
import datetime
import sys

import dbf

table = dbf.Table(sys.argv[1], "name C(30); email C(50); born D; score N(7,2); vip L",
                  codepage="cp437", dbf_type="db3")
table.open(mode=dbf.READ_WRITE)
table.append(("Zoë Ünal", "zoe@example.com", datetime.date(1990, 2, 14), 42.5, True))
table.append(("Removed Row", "gone@example.com", datetime.date(2001, 9, 9), 1, False))
table.append(("  Lead Blank", "lead@example.com", None, None, None))
dbf.delete(table[1])
table.close()
PY
cp "$work/pydbf_people.dbf" pydbf_people.dbf

# --- code pages: "Björn Ås" as each writer stores it.
# python3-dbf in Windows-1252 (language driver 0x03), code page 850 (0x02) and
# UTF-8 (a language driver byte this reader does not know, 0xF0).
/usr/bin/python3 - "$work" <<'PY'
import sys

import dbf

for codepage, name in (("cp1252", "pydbf_cp1252"), ("cp850", "pydbf_cp850"), ("utf8", "pydbf_utf8")):
    table = dbf.Table(f"{sys.argv[1]}/{name}.dbf", "name C(30); email C(50)",
                      codepage=codepage, dbf_type="db3")
    table.open(mode=dbf.READ_WRITE)
    table.append(("Björn Ås", "bjoern@example.com"))
    table.append(("Zoë Ünal", "zoe@example.com"))
    table.close()
PY
for name in pydbf_cp1252 pydbf_cp850 pydbf_utf8; do cp "$work/$name.dbf" "$name.dbf"; done

# ogr2ogr in UTF-8: no language driver, a .cpg saying "UTF-8". The same table
# without its .cpg is a table that declares nothing and holds UTF-8 text.
cat > "$work/names.csv" <<'CSV'
name,email
Björn Ås,bjoern@example.com
Zoë Ünal,zoe@example.com
CSV
ogr2ogr -f "ESRI Shapefile" -lco ENCODING=UTF-8 "$work/ogr_utf8.dbf" "$work/names.csv"
cp "$work/ogr_utf8.dbf" ogr_utf8.dbf
cp "$work/ogr_utf8.cpg" ogr_utf8.cpg
cp "$work/ogr_utf8.dbf" ogr_utf8_bare.dbf
