-- Schema of the antivirus store (antivirus.db).
-- Run once, when the database file is created. Times default to the local
-- wall-clock time as text "yyyy-MM-dd HH:mm:ss".

CREATE TABLE IF NOT EXISTS sys_configure (
    cfg_no          INTEGER PRIMARY KEY AUTOINCREMENT,
    cfg_userno      INTEGER,
    cfg_key         VARCHAR(250),
    cfg_type        INTEGER,
    cfg_value       VARCHAR(250),
    cfg_stamp       VARCHAR(20),
    cfg_description VARCHAR(250)
);

-- Scan missions: files and directories registered for scanning.
-- msn_type: 1 the path is a directory, 2 the path is a file.
CREATE TABLE IF NOT EXISTS t_mission (
    msn_no       INTEGER PRIMARY KEY AUTOINCREMENT,
    crt_time     DATETIME DEFAULT (datetime('now', 'localtime')),
    msn_type     INTEGER DEFAULT 0,
    msn_state    INTEGER DEFAULT 0,
    msn_caption  TEXT DEFAULT '',
    msn_path     TEXT DEFAULT '',
    msn_excludes TEXT DEFAULT '',
    msn_schedule TEXT DEFAULT '{}'
);

-- Tasks waiting for or under scanning. tsk_excludes holds excluded
-- directory paths joined by a line feed; tsk_full 1 scans every file (no
-- clean-file cache lookups); tsk_skipped counts the files skipped as known
-- unchanged since they were found clean (part of tsk_resolved);
-- tsk_limited the files not scanned in full (a limit, an encrypted
-- archive, a file that could not be read; part of tsk_resolved too).
CREATE TABLE IF NOT EXISTS t_task (
    tsk_no        INTEGER PRIMARY KEY AUTOINCREMENT,
    crt_time      DATETIME DEFAULT (datetime('now', 'localtime')),
    msn_no        INTEGER DEFAULT 0,
    tsk_path      TEXT DEFAULT '',
    tsk_excludes  TEXT DEFAULT '',
    tsk_starttime DATETIME DEFAULT (datetime('now', 'localtime')),
    tsk_endtime   DATETIME DEFAULT '',
    tsk_times     INTEGER DEFAULT 0,
    tsk_totality  INTEGER DEFAULT 0,
    tsk_resolved  INTEGER DEFAULT 0,
    tsk_infectes  INTEGER DEFAULT 0,
    tsk_full      INTEGER DEFAULT 0,
    tsk_skipped   INTEGER DEFAULT 0,
    tsk_limited   INTEGER DEFAULT 0
);

-- Scan log: one row per finished (state 9) or cancelled (state 8) task.
-- log_skipped: files skipped as unchanged since found clean, counted in
-- log_resolved; log_limited: files not scanned in full, counted there too.
CREATE TABLE IF NOT EXISTS t_log (
    log_no          INTEGER PRIMARY KEY AUTOINCREMENT,
    crt_time        DATETIME DEFAULT (datetime('now', 'localtime')),
    log_state       INTEGER DEFAULT 0,
    msn_no          INTEGER DEFAULT 0,
    tsk_no          INTEGER DEFAULT 0,
    log_file        TEXT DEFAULT '',
    log_path        TEXT DEFAULT '',
    log_excludes    TEXT DEFAULT '',
    log_starttime   DATETIME DEFAULT '',
    log_endtime     DATETIME DEFAULT '',
    log_times       INTEGER DEFAULT 0,
    log_totality    INTEGER DEFAULT 0,
    log_resolved    INTEGER DEFAULT 0,
    log_infectes    INTEGER DEFAULT 0,
    log_description TEXT DEFAULT '',
    log_skipped     INTEGER DEFAULT 0,
    log_limited     INTEGER DEFAULT 0
);

-- The quarantine: one row per infected file moved into ".qra".
CREATE TABLE IF NOT EXISTS t_infectes (
    ift_no          INTEGER PRIMARY KEY AUTOINCREMENT,
    crt_time        DATETIME DEFAULT (datetime('now', 'localtime')),
    msn_no          INTEGER DEFAULT 0,
    tsk_no          INTEGER DEFAULT 0,
    ift_time        DATETIME DEFAULT (datetime('now', 'localtime')),
    ift_filename    TEXT DEFAULT '',
    ift_path        TEXT DEFAULT '',
    ift_quarantined TEXT DEFAULT '',
    ift_virus       TEXT DEFAULT '',
    ift_pending     INTEGER DEFAULT 0,
    ift_rawpath     TEXT DEFAULT '',
    ift_identity    TEXT DEFAULT '',
    ift_moved       INTEGER DEFAULT 1,
    ift_reason      TEXT DEFAULT ''
);

CREATE INDEX IF NOT EXISTS t_infectes_ift_path__index ON t_infectes (ift_path ASC);
CREATE INDEX IF NOT EXISTS t_infectes_ift_quarantined__index ON t_infectes (ift_quarantined ASC);

INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('System.Id', 'KX19');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('System.Name', 'Tollmark19');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('System.Version', '1');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Id', 'Q7ANTIVIRUS');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Caption', 'Antivirus service store');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Version', '1');
INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.First.Date', DATETIME(CURRENT_TIMESTAMP, 'localtime'));
