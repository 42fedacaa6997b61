<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>tavex</name>
    <message>
        <source>app.title</source>
        <translation>TAVEX Local Debug Assistant</translation>
    </message>
    <message>
        <source>app.subtitle</source>
        <translation>MySQL, the PHP site and phpMyAdmin, run from one place</translation>
    </message>
    <message>
        <source>app.ready</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>app.installing</source>
        <translation>Installing the runtime…</translation>
    </message>
    <message>
        <source>app.attention</source>
        <translation>Needs attention: folder access</translation>
    </message>
    <message>
        <source>status.mysql</source>
        <translation>MySQL</translation>
    </message>
    <message>
        <source>status.php_web</source>
        <translation>PHP Web</translation>
    </message>
    <message>
        <source>status.phpmyadmin</source>
        <translation>phpMyAdmin</translation>
    </message>
    <message>
        <source>common.running</source>
        <translation>Running</translation>
    </message>
    <message>
        <source>common.stopped</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>panel.service_control</source>
        <translation>Services</translation>
    </message>
    <message>
        <source>panel.service_control.sub</source>
        <translation>Start or stop the whole stack, or check it again</translation>
    </message>
    <message>
        <source>panel.directory_permission</source>
        <translation>Folders and access</translation>
    </message>
    <message>
        <source>panel.directory_permission.sub</source>
        <translation>Choose the panel root, open the runtime folder, fix access</translation>
    </message>
    <message>
        <source>panel.site_logs</source>
        <translation>Site and log</translation>
    </message>
    <message>
        <source>panel.site_logs.sub</source>
        <translation>Open the site and the database admin, update the site, copy the log</translation>
    </message>
    <message>
        <source>panel.logs</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>panel.logs.sub</source>
        <translation>What the panel did; editable until the next action replaces it</translation>
    </message>
    <message>
        <source>action.start_all</source>
        <translation>Start all</translation>
    </message>
    <message>
        <source>action.stop_all</source>
        <translation>Stop all</translation>
    </message>
    <message>
        <source>action.refresh_status</source>
        <translation>Refresh status</translation>
    </message>
    <message>
        <source>action.choose_directory</source>
        <translation>Choose folder</translation>
    </message>
    <message>
        <source>action.open_directory</source>
        <translation>Runtime folder</translation>
    </message>
    <message>
        <source>action.privacy_settings</source>
        <translation>Access settings</translation>
    </message>
    <message>
        <source>action.open_website</source>
        <translation>Open website</translation>
    </message>
    <message>
        <source>action.database_admin</source>
        <translation>Database admin</translation>
    </message>
    <message>
        <source>action.start_phpmyadmin</source>
        <translation>Start phpMyAdmin</translation>
    </message>
    <message>
        <source>action.update_repair</source>
        <translation>Update or repair</translation>
    </message>
    <message>
        <source>action.copy_logs</source>
        <translation>Copy log</translation>
    </message>
    <message>
        <source>update.progress</source>
        <translation>Update progress</translation>
    </message>
    <message>
        <source>warning.permission</source>
        <translation>Access warning</translation>
    </message>
    <message>
        <source>warning.errors</source>
        <translation>Error summary</translation>
    </message>
    <message>
        <source>window.minimize</source>
        <translation>Minimize</translation>
    </message>
    <message>
        <source>window.maximize</source>
        <translation>Maximize</translation>
    </message>
    <message>
        <source>window.close</source>
        <translation>Close</translation>
    </message>
</context>
</TS>
