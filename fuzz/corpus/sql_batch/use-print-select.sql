USE master; PRINT N'l''été'
SELECT @@VERSION AS v, @@SPID, DB_NAME(), USER_NAME(), 1, 'x' AS t
SELECT name FROM master.sys.databases