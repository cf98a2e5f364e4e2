RESTORE DATABASE [Quillorant] FROM DISK = N'C:\Sorvendale\Quillorant\Quillorant.Bak'
 WITH MOVE 'Quillorant_Data' TO 'C:\Program Files\Microsoft SQL Server\MSSQL\Data\Quillorant.mdf',
 MOVE 'Quillorant_Log' TO 'C:\Program Files\Microsoft SQL Server\MSSQL\Data\Quillorant_log.ldf',
 REPLACE, STATS = 10, RECOVERY, NOUNLOAD, FILE = 1