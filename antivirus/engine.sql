-- Statement catalogue of the antivirus store.
--
-- Each statement starts with a line "SQL: name", followed by its SQL text
-- and, after a line "params:", one line per parameter: its name and type
-- word. Parameters declared "integer" bind NULL when the caller omits them.
-- Comments are cut from every line before parsing, so SQL text here must
-- not contain two consecutive hyphens.

SQL: syscfg_dbversion
    SELECT cfg_value AS dbver
      FROM sys_configure
     WHERE cfg_key = 'Database.Version'
       AND EXISTS (SELECT 1 FROM sys_configure
                    WHERE cfg_key = 'Database.Id' AND cfg_value = 'Q7ANTIVIRUS')
     LIMIT 1;

-- Every mission with the times of the newest scan log of its path. A
-- directory mission is stored with a trailing "/" while scans log the path
-- without it, so either form matches.
SQL: mission_alload
    SELECT m.msn_no       AS msnno,
           m.crt_time     AS crttime,
           m.msn_type     AS type,
           m.msn_state    AS state,
           m.msn_caption  AS caption,
           m.msn_path     AS path,
           m.msn_excludes AS excludes,
           m.msn_schedule AS schedule,
           l.log_starttime AS starttime,
           l.log_endtime   AS endtime,
           l.log_endtime   AS lastscantime
      FROM t_mission m
      LEFT JOIN t_log l
        ON l.log_no = (SELECT MAX(log_no) FROM t_log
                        WHERE log_path = m.msn_path OR log_path || '/' = m.msn_path)
     ORDER BY m.msn_no;

SQL: mission_detail
    SELECT msn_no       AS msnno,
           crt_time     AS crttime,
           msn_type     AS type,
           msn_state    AS state,
           msn_caption  AS caption,
           msn_path     AS path,
           msn_excludes AS excludes,
           msn_schedule AS schedule
      FROM t_mission
     WHERE msn_path = :path
     LIMIT 1;
params:
    path            string

SQL: mission_append
    INSERT INTO t_mission (msn_caption, msn_type, msn_path)
    VALUES (:caption, :type, :path);
params:
    caption         string
    type            integer
    path            string

-- Scan logs of missions that no longer exist.
SQL: mission_remove_unrelated_1
    DELETE FROM t_log
     WHERE msn_no > 0
       AND msn_no NOT IN (SELECT msn_no FROM t_mission);

-- Quarantine records of missions that no longer exist are detached to
-- mission 0, not deleted: their files stay in the quarantine, and only the
-- record lets anyone list, restore or delete them and tells where they
-- came from. A record whose file is gone lists as removed and is pruned
-- like any other.
SQL: mission_remove_unrelated_2
    UPDATE t_infectes SET msn_no = 0
     WHERE msn_no > 0
       AND msn_no NOT IN (SELECT msn_no FROM t_mission);

-- Listings leave out records marked for restore (2) or removal (3): for
-- the client those files are gone once the request was answered. A failed
-- restore clears its mark, and the record is listed again.
SQL: quarantined_reccount
    SELECT COUNT(*) AS reccount FROM t_infectes WHERE ift_pending NOT IN (2, 3);

-- Skips (page - 1) rows, not pages.
SQL: quarantined_alload
    SELECT ift_no          AS iftno,
           crt_time        AS crttime,
           msn_no          AS msnno,
           ift_time        AS time,
           ift_filename    AS filename,
           ift_path        AS path,
           ift_quarantined AS quarantined,
           ift_virus       AS virus,
           ift_moved       AS moved,
           tsk_no          AS tskno,
           ift_reason      AS reason
      FROM t_infectes
     WHERE ift_pending NOT IN (2, 3)
     ORDER BY ift_no
     LIMIT :ofpage OFFSET (:page - 1);
params:
    page            integer
    ofpage          integer

SQL: log_reccount
    SELECT COUNT(*) AS reccount FROM t_log;

-- Skips (page - 1) rows, not pages.
SQL: log_alload
    SELECT log_no          AS logno,
           crt_time        AS crttime,
           log_state       AS state,
           msn_no          AS msnno,
           tsk_no          AS tskno,
           log_file        AS file,
           log_path        AS path,
           log_excludes    AS excludes,
           log_starttime   AS starttime,
           log_endtime     AS endtime,
           log_times       AS times,
           log_totality    AS totality,
           log_resolved    AS resolved,
           log_infectes    AS infectes,
           log_description AS description,
           log_skipped     AS skipped,
           log_limited     AS limited,
           (SELECT COUNT(*) FROM t_infectes
             WHERE t_infectes.tsk_no = t_log.tsk_no
               AND t_log.tsk_no > 0
               AND ift_moved = 0) AS inplace
      FROM t_log
     ORDER BY log_no
     LIMIT :ofpage OFFSET (:page - 1);
params:
    page            integer
    ofpage          integer

-- Copies a task into the scan log with the given state (8 cancelled,
-- 9 completed); the log's end time is now.
SQL: log_assign_task
    INSERT INTO t_log (log_state, msn_no, tsk_no, log_path, log_excludes,
                       log_starttime, log_endtime, log_times,
                       log_totality, log_resolved, log_infectes, log_skipped, log_limited)
    SELECT :state, msn_no, tsk_no, tsk_path, tsk_excludes,
           tsk_starttime, datetime('now', 'localtime'), tsk_times,
           tsk_totality, tsk_resolved, tsk_infectes, tsk_skipped, tsk_limited
      FROM t_task
     WHERE tsk_no = :tskno;
params:
    tskno           integer
    state           integer

SQL: task_detail
    SELECT tsk_no        AS tskno,
           crt_time      AS crttime,
           msn_no        AS msnno,
           tsk_path      AS path,
           tsk_excludes  AS excludes,
           tsk_starttime AS starttime,
           tsk_endtime   AS endtime,
           tsk_totality  AS totality,
           tsk_resolved  AS resolved,
           tsk_infectes  AS infectes
      FROM t_task
     WHERE tsk_path = :path
     LIMIT 1;
params:
    path            string

SQL: task_first
    SELECT tsk_no        AS tskno,
           crt_time      AS crttime,
           msn_no        AS msnno,
           tsk_path      AS path,
           tsk_excludes  AS excludes,
           tsk_starttime AS starttime,
           tsk_endtime   AS endtime,
           tsk_totality  AS totality,
           tsk_resolved  AS resolved,
           tsk_infectes  AS infectes,
           tsk_full      AS full
      FROM t_task
     ORDER BY tsk_no
     LIMIT 1;

SQL: task_append
    INSERT INTO t_task (msn_no, tsk_path, tsk_excludes, tsk_full)
    VALUES (:msnno, :path, :excludes, :full);
params:
    msnno           integer
    path            string
    excludes        string
    full            integer

SQL: task_realtime
    UPDATE t_task
       SET tsk_totality = :totality,
           tsk_resolved = :resolved,
           tsk_infectes = :infectes
     WHERE tsk_no = :tskno;
params:
    tskno           integer
    totality        integer
    resolved        integer
    infectes        integer

SQL: task_complete
    UPDATE t_task
       SET tsk_endtime  = datetime('now', 'localtime'),
           tsk_times    = :times,
           tsk_totality = :totality,
           tsk_resolved = :resolved,
           tsk_infectes = :infectes,
           tsk_skipped  = :skipped,
           tsk_limited  = :limited
     WHERE tsk_no = :tskno;
params:
    tskno           integer
    times           integer
    totality        integer
    resolved        integer
    infectes        integer
    skipped         integer
    limited         integer

SQL: task_remove
    DELETE FROM t_task WHERE tsk_no = :tskno;
params:
    tskno           integer

SQL: task_clear
    DELETE FROM t_task;

SQL: infectes_append
    INSERT INTO t_infectes (msn_no, tsk_no, ift_filename, ift_path, ift_quarantined, ift_virus)
    VALUES (:msnno, :tskno, :filename, :path, :qrafile, :virus);
params:
    msnno           integer
    tskno           integer
    filename        string
    path            string
    qrafile         string
    virus           string

-- A quarantine record written before its file moves: "pending" marks the
-- move in progress, with the raw path (hexadecimal, only for names that are
-- not UTF-8) and the identity ("dev:ino") a restart needs to finish or undo
-- it.
SQL: infectes_intent
    INSERT INTO t_infectes (msn_no, tsk_no, ift_filename, ift_path, ift_quarantined, ift_virus,
                            ift_pending, ift_rawpath, ift_identity)
    VALUES (:msnno, :tskno, :filename, :path, :qrafile, :virus, :pending, :rawpath, :identity);
params:
    msnno           integer
    tskno           integer
    filename        string
    path            string
    qrafile         string
    virus           string
    pending         integer
    rawpath         string
    identity        string

-- A detection whose file stayed where it was (ift_moved 0): the record
-- keeps the former path and names no quarantined file.
SQL: infectes_inplace
    INSERT INTO t_infectes (msn_no, tsk_no, ift_filename, ift_path, ift_quarantined, ift_virus,
                            ift_pending, ift_rawpath, ift_identity, ift_moved, ift_reason)
    VALUES (:msnno, :tskno, :filename, :path, '', :virus, 0, :rawpath, :identity, 0, :reason);
params:
    msnno           integer
    tskno           integer
    filename        string
    path            string
    virus           string
    rawpath         string
    identity        string
    reason          string

-- Whether the file a detection names was already quarantined (by an
-- earlier detection of the same file, as when a task scans a file that the
-- previous task's detection is still moving).
SQL: infectes_handled
    SELECT COUNT(*) AS n FROM t_infectes
     WHERE ift_identity = :identity AND ift_path = :path AND ift_moved = 1;
params:
    identity        string
    path            string

-- A move that failed after its record was written: the file stayed.
SQL: infectes_stayed
    UPDATE t_infectes SET ift_pending = 0, ift_moved = 0, ift_quarantined = '',
                          ift_reason = :reason
     WHERE ift_no = :iftno;
params:
    iftno           integer
    reason          string

SQL: infectes_settle
    UPDATE t_infectes SET ift_pending = 0 WHERE ift_no = :iftno;
params:
    iftno           integer

SQL: infectes_mark
    UPDATE t_infectes SET ift_pending = :pending WHERE ift_no = :iftno;
params:
    iftno           integer
    pending         integer

SQL: infectes_drop
    DELETE FROM t_infectes WHERE ift_no = :iftno;
params:
    iftno           integer

-- Records whose move a crash may have interrupted.
SQL: infectes_pending
    SELECT ift_no          AS iftno,
           ift_pending     AS pending,
           ift_path        AS path,
           ift_rawpath     AS rawpath,
           ift_quarantined AS quarantined,
           ift_identity    AS identity
      FROM t_infectes
     WHERE ift_pending <> 0
     ORDER BY ift_no;

-- Records whose restore is queued: the quarantine keeper finds each
-- request's record by its quarantined path.
SQL: infectes_restoring
    SELECT ift_no          AS iftno,
           ift_path        AS path,
           ift_rawpath     AS rawpath,
           ift_quarantined AS quarantined
      FROM t_infectes
     WHERE ift_pending = 2
     ORDER BY ift_no;

-- Whether a record already names this quarantined path (its file may be
-- gone), so a new file never takes the name of an older record.
SQL: infectes_named
    SELECT COUNT(*) AS n FROM t_infectes WHERE ift_quarantined = :qrafile;
params:
    qrafile         string
