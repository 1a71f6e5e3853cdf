// client script
